#include "relay/metrics/scrape_set.h"

#include <algorithm>

void ScrapeSet::Start(std::shared_ptr<ScrapeConnection> scrape) {
  // A free slot, else the open scrape that yields first.
  auto& room = *std::min_element(Open.begin(), Open.end(), [](const auto& a, const auto& b) {
    return b && (!a || a->YieldsBefore(*b));
  });
  if (room && !room->Yields()) return;
  if (room) room->Stop();
  room = std::move(scrape);
  room->Start();
}

void ScrapeSet::Stop(ScrapeConnection& scrape) {
  scrape.Stop();
  for (auto& slot : Open) {
    if (slot.get() == &scrape) slot.reset();
  }
}

void ScrapeSet::StopAll() {
  for (auto& slot : Open) {
    if (slot) slot->Stop();
    slot.reset();
  }
}
