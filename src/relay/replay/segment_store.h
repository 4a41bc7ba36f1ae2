#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where the ring keeps its records: segments of journal::SegmentBytes, each in memory alone or
// the memory of one file of the journal, which outlives the process.
class SegmentStore {
 public:
  virtual ~SegmentStore() = default;
  // The segments an earlier run left, in no order and unread.
  virtual std::vector<char*> Kept() { return {}; }
  // Room for a new segment: a file while the journal can be written, else memory. Never fails.
  virtual char* Open() = 0;
  // A segment the ring no longer needs; its room serves again.
  virtual void Release(char* segment) = 0;
  // Whether what is written to the segment goes to the journal.
  virtual bool Journals(const char*) const { return false; }
  // Why the journal stopped being written, once each time it stops; empty otherwise.
  virtual std::string TakeFailure() { return {}; }
  // Segments the journal could not take, for the metric.
  virtual std::uint64_t Failures() const { return 0; }
};
