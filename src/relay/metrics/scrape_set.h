#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "relay/metrics/scrape_connection.h"

// The scrapes open at once. They are few, so a scraper that opens connections without end
// holds at most MaxOpen of the relay's descriptors.
class ScrapeSet {
 public:
  static constexpr std::size_t MaxOpen = 16;

  ScrapeSet() = default;
  ScrapeSet(const ScrapeSet&) = delete;
  ScrapeSet& operator=(const ScrapeSet&) = delete;
  // The open scrapes' handlers refer to the set; stopped, they no longer do.
  ~ScrapeSet() { StopAll(); }

  // Starts the scrape, or drops it, closing its connection, when MaxOpen are open.
  void Start(std::shared_ptr<ScrapeConnection> scrape);
  void Stop(ScrapeConnection& scrape);
  void StopAll();

 private:
  std::array<std::shared_ptr<ScrapeConnection>, MaxOpen> Open;
};
