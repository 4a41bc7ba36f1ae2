#pragma once

#include <memory>
#include <string>
#include <vector>

#include "relay/replay/mapped_file.h"
#include "relay/replay/memory_segments.h"
#include "relay/replay/segment_store.h"

// The journal: segments that are files in a folder of its own, events-<n>.journal, created as
// the ring grows and reused once it lets their events go, so that the folder holds no more than
// the ring. A file that cannot be had (the disk full, the folder read-only) costs no event: the
// segment is memory instead, and the next segment tries a file again.
class JournalSegments final : public SegmentStore {
 public:
  explicit JournalSegments(std::string folder);

  std::vector<char*> Kept() override;
  char* Open() override;
  void Release(char* segment) override;
  bool Journals(const char* segment) const override;
  std::string TakeFailure() override;
  std::uint64_t Failures() const override { return FailedSegments; }

 private:
  std::string PathOf(int index) const;
  void Fail(const std::string& what, const std::system_error& failure);

  const std::string Folder;
  std::vector<std::unique_ptr<MappedFile>> Files;  // in use or spare
  std::vector<char*> SpareFiles;
  MemorySegments Memory;
  int NextIndex = 0;
  bool Failing = false;
  std::string Failure;  // not yet taken
  std::uint64_t FailedSegments = 0;
};
