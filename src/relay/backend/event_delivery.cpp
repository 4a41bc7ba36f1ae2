#include "relay/backend/event_delivery.h"

#include <cstdio>
#include <string>

void EventDelivery::ReportHandlerFailure(const std::exception& failure) {
  // Both: a terminal or journal shows stderr, and the Windows program has only its log.
  std::fprintf(stderr, "KorvelCaptureServer: an event handler failed: %s\n", failure.what());
  Log.Log(10, std::string("An event handler failed: ") + failure.what());
}
