#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "relay/metrics/scrape_connection.h"

// The scrapes open at once. They are few, so a scraper that opens connections without end
// holds at most MaxOpen of the relay's descriptors. Connections that never ask cannot hold them
// against a scraper either: a newcomer takes the place of one that has been answered or has
// waited longest for its request, and only one whose answer is being written keeps its place.
class ScrapeSet {
 public:
  static constexpr std::size_t MaxOpen = 16;

  ScrapeSet() = default;
  ScrapeSet(const ScrapeSet&) = delete;
  ScrapeSet& operator=(const ScrapeSet&) = delete;
  // The open scrapes' handlers refer to the set; stopped, they no longer do.
  ~ScrapeSet() { StopAll(); }

  // Starts the scrape, closing another to make room when MaxOpen are open; or drops it, closing
  // its connection, when all of them are writing their answers.
  void Start(std::shared_ptr<ScrapeConnection> scrape);
  void Stop(ScrapeConnection& scrape);
  void StopAll();

 private:
  std::array<std::shared_ptr<ScrapeConnection>, MaxOpen> Open;
};
