#include "relay/replay/memory_segments.h"

#include <algorithm>

#include "relay/replay/journal_format.h"

char* MemorySegments::Open() {
  // Unwritten: only what the ring writes is ever read.
  Live.push_back(Spare ? std::move(Spare)
                       : std::make_unique_for_overwrite<char[]>(journal::SegmentBytes));
  return Live.back().get();
}

void MemorySegments::Release(char* segment) {
  const auto found = std::find_if(Live.begin(), Live.end(),
                                  [&](const auto& live) { return live.get() == segment; });
  if (found == Live.end()) return;
  Spare = std::move(*found);
  Live.erase(found);
}
