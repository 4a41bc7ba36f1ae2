#include "relay/metrics/scrape_set.h"

void ScrapeSet::Start(std::shared_ptr<ScrapeConnection> scrape) {
  for (auto& slot : Open) {
    if (!slot) {
      slot = std::move(scrape);
      slot->Start();
      return;
    }
  }
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
