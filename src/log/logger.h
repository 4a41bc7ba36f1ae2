#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/local_clock.h"
#include "log/file_tools.h"

// The debug log: a level filter, a line buffer and a size-limited file with one previous
// generation ("Debug.log" rotates to "Debug_2.log").
//
// A failed write keeps the waiting lines. While the file fails, a line only joins them until
// RetryInterval has passed since the last failure (by the clock; FlushBuffer tries at once): a
// relay that logs every event must not pay a failing open or write for each of them. At most
// MaxWaitingBytes of the newest lines are kept, and the next successful write starts with one
// line that says how many were dropped. A write that fails inside a line (a full disk) leaves the
// rest of that line to be written first, and never dropped: no byte reaches the file twice, and
// the count of the file's size stays true.
class Logger {
 public:
  static constexpr std::int64_t BytesPerMB = 1048576;
  static constexpr std::size_t MaxWaitingBytes = 1048576;
  static constexpr std::size_t DelayedFlushBytes = 102400;
  static constexpr std::chrono::seconds RetryInterval{1};

  // defaultLogPath is used when no path was set by the time of the first write.
  Logger(std::unique_ptr<FileTools> files, const LocalClock& clock, std::string defaultLogPath);
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  ~Logger();

  void SetDebugLevel(std::uint8_t value) { DebugLevel = value; }
  void SetUseLogDelay(bool value) { UseLogDelay = value; }
  void SetLogPath(std::string value) { LogPath = std::move(value); }
  void SetLogSizeMB(std::int32_t value);

  bool Accepts(std::uint8_t level) const { return level >= DebugLevel; }

  // Failures of the file are thrown as std::system_error; the line stays buffered all the same.
  // A line that only waits for the next try throws nothing.
  void LogDebug(std::uint8_t DbgLevel, std::string_view Text);
  void FlushBuffer();

  const std::string& CurrentLogPath() const { return LogPath; }
  // Every line dropped since start-up, including those a notice has already reported.
  std::uint64_t LinesDroppedInAll() const { return DroppedInAll; }

 private:
  // Adds the line stamp, " - ", text, CR LF to the buffer.
  void AppendLine(std::string_view stamp, std::string_view text);
  void RotateLogFile();
  std::size_t WaitingBytes() const { return Buffer.size() - WaitingStart; }
  // After a failed write: the file took the first `written` bytes of head (Unfinished, then the
  // notice) and of the waiting lines after it; keeps the rest of what it began in Unfinished.
  void TakeWritten(std::size_t written, std::string_view head);
  void DropOldestBeyondLimit();
  std::string DroppedLinesNotice() const;

  std::unique_ptr<FileTools> Files;
  const LocalClock& Clock;
  std::string DefaultLogPath;

  std::uint8_t DebugLevel = 6;
  bool UseLogDelay = false;
  std::string LogPath;
  std::int32_t LogSizeMB = 10;
  // The waiting lines are Buffer from WaitingStart on; before it lies dropped text that is moved
  // out only once it is at least as long as what waits.
  std::string Buffer;
  std::size_t WaitingStart = 0;
  std::deque<std::size_t> WaitingLineLengths;  // lets a failing file drop whole lines, oldest first
  std::string Unfinished;          // the rest of a line or notice that the file has only begun
  std::uint64_t DroppedLines = 0;  // since the last notice
  std::uint64_t DroppedInAll = 0;
  std::optional<WallTime> FailedAt;  // the last failed write, until one succeeds
  double LastFlushTime = 0;
  std::int64_t FileSize = 0;
};
