#pragma once

#include <memory>
#include <vector>

#include "relay/replay/segment_store.h"

// Segments in memory alone. One released segment is kept for the next, so that a full ring
// reuses the same memory instead of asking the host for more.
class MemorySegments final : public SegmentStore {
 public:
  char* Open() override;
  void Release(char* segment) override;

 private:
  std::vector<std::unique_ptr<char[]>> Live;
  std::unique_ptr<char[]> Spare;
};
