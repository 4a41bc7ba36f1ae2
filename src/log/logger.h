#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "common/local_clock.h"
#include "log/file_tools.h"

// The debug log: a level filter, a line buffer and a size-limited file with one previous
// generation ("Debug.log" rotates to "Debug_2.log").
//
// A failed write keeps the waiting lines and retries them with the next write; while the file
// cannot be written at all, at most MaxWaitingBytes of the newest lines are kept, and the next
// successful write starts with one line that says how many were dropped.
class Logger {
 public:
  static constexpr std::int64_t BytesPerMB = 1048576;
  static constexpr std::size_t MaxWaitingBytes = 1048576;
  static constexpr std::size_t DelayedFlushBytes = 102400;

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
  void LogDebug(std::uint8_t DbgLevel, std::string_view Text);
  void FlushBuffer();

  const std::string& CurrentLogPath() const { return LogPath; }

 private:
  // Adds the line stamp, " - ", text, CR LF to the buffer.
  void AppendLine(std::string_view stamp, std::string_view text);
  void RotateLogFile();
  void DropOldestBeyondLimit();
  std::string DroppedLinesNotice() const;

  std::unique_ptr<FileTools> Files;
  const LocalClock& Clock;
  std::string DefaultLogPath;

  std::uint8_t DebugLevel = 6;
  bool UseLogDelay = false;
  std::string LogPath;
  std::int32_t LogSizeMB = 10;
  std::string Buffer;
  std::deque<std::size_t> WaitingLineLengths;  // lets a failing file drop whole lines, oldest first
  std::uint64_t DroppedLines = 0;
  double LastFlushTime = 0;
  std::int64_t FileSize = 0;
};
