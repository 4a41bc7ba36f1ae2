#include "relay/event_delivery.h"

#include <cstdio>

#include "relay/session_element.h"

void EventDelivery::FlushPendingWrites() {
  // By position: a failing write fails its element but never adds to the list.
  for (std::size_t i = 0; i < FlushList.size(); ++i) FlushList[i]->Flush();
  FlushList.clear();
}

void EventDelivery::ReportHandlerFailure(const std::exception& failure) {
  std::fprintf(stderr, "KorvelCaptureServer: an event handler failed: %s\n", failure.what());
}
