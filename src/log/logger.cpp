#include "log/logger.h"

#include <algorithm>

#include "common/file_path.h"

namespace {

// The one previous generation: folder, base name, "_2.", extension ("Debug.log" gives
// "Debug_2.log").
std::string PreviousGenerationPath(std::string_view path) {
  return GetFolderPath(path) + GetBaseName(path) + "_2." + GetExtension(path);
}

}  // namespace

Logger::Logger(std::unique_ptr<FileTools> files, const LocalClock& clock,
               std::string defaultLogPath)
    : Files(std::move(files)), Clock(clock), DefaultLogPath(std::move(defaultLogPath)) {
  Buffer.reserve(1024);
}

Logger::~Logger() {
  try {
    FlushBuffer();
  } catch (const std::exception&) {
    // Nowhere left to report it: the program is ending.
  }
}

void Logger::SetLogSizeMB(std::int32_t value) {
  LogSizeMB = std::clamp(value, 1, 1999);
}

void Logger::LogDebug(std::uint8_t DbgLevel, std::string_view Text) {
  if (!Accepts(DbgLevel)) return;
  const WallTime now = Clock.Now();
  AppendLine(LocalDateTimeText(now), Text);

  // Between tries of a failing file a line only waits; a clock that went back ends the wait.
  if (FailedAt && now >= *FailedAt && now - *FailedAt < RetryInterval) {
    DropOldestBeyondLimit();
    return;
  }
  if (!UseLogDelay || WaitingBytes() >= DelayedFlushBytes) {
    FlushBuffer();
    return;
  }
  const double elapsed = SecondsSinceLocalMidnight(now) - LastFlushTime;
  if (elapsed < 0 || elapsed >= 1.0) FlushBuffer();  // below 0: the day changed since
}

void Logger::AppendLine(std::string_view stamp, std::string_view text) {
  const std::size_t lineLength = stamp.size() + 3 + text.size() + 2;
  const std::size_t newLength = Buffer.size() + lineLength;
  // Grow in large steps so that a busy log reallocates rarely; the buffer never shrinks.
  if (newLength > Buffer.capacity()) Buffer.reserve(Buffer.capacity() + 3 * newLength);
  Buffer.append(stamp).append(" - ").append(text).append("\r\n");
  WaitingLineLengths.push_back(lineLength);
}

void Logger::FlushBuffer() {
  const WallTime now = Clock.Now();
  LastFlushTime = SecondsSinceLocalMidnight(now);
  if (Unfinished.empty() && WaitingBytes() == 0) return;
  if (LogPath.empty()) LogPath = DefaultLogPath;

  const std::int64_t limit = static_cast<std::int64_t>(LogSizeMB) * BytesPerMB;
  std::string head = Unfinished + DroppedLinesNotice();  // then the waiting lines
  std::size_t headLength = head.size();
  const std::int64_t waiting = static_cast<std::int64_t>(headLength + WaitingBytes());
  std::size_t written = 0;
  try {
    if (waiting > limit - FileSize - 5) {
      if (!Unfinished.empty()) {  // a line that the file has begun is finished in that file
        FileSize = Files->AppendToFile(LogPath, Unfinished, written);
        head.erase(0, Unfinished.size());
        headLength = head.size();
        Unfinished.clear();
        written = 0;
      }
      RotateLogFile();
    }
    const std::string_view text = std::string_view(Buffer).substr(WaitingStart);
    FileSize = Files->AppendToFile(LogPath, head.empty() ? text : (head += text), written);
  } catch (...) {
    FailedAt = now;
    FileSize += static_cast<std::int64_t>(written);
    TakeWritten(written, std::string_view(head).substr(0, headLength));
    DropOldestBeyondLimit();
    throw;
  }
  // Once the text is in the file it must never be written again, whatever the rotation does.
  Buffer.clear();
  WaitingStart = 0;
  WaitingLineLengths.clear();
  Unfinished.clear();
  DroppedLines = 0;
  FailedAt.reset();
  if (FileSize >= limit - 5) RotateLogFile();
}

void Logger::TakeWritten(std::size_t written, std::string_view head) {
  if (written <= Unfinished.size()) {
    Unfinished.erase(0, written);
    return;
  }
  DroppedLines = 0;  // the notice has begun, so it tells them
  if (written < head.size()) {
    Unfinished = head.substr(written);
    return;
  }
  written -= head.size();
  Unfinished.clear();
  for (; written > 0; WaitingLineLengths.pop_front()) {
    const std::size_t line = WaitingLineLengths.front();
    if (written < line) Unfinished.assign(Buffer, WaitingStart + written, line - written);
    WaitingStart += line;
    written -= std::min(written, line);
  }
}

void Logger::RotateLogFile() {
  Files->RenameFile(LogPath, PreviousGenerationPath(LogPath));
  FileSize = 0;
}

void Logger::DropOldestBeyondLimit() {
  while (Unfinished.size() + WaitingBytes() > MaxWaitingBytes && !WaitingLineLengths.empty()) {
    WaitingStart += WaitingLineLengths.front();
    WaitingLineLengths.pop_front();
    ++DroppedLines;
    ++DroppedInAll;
  }
  // A move takes no more bytes than were dropped since the last one: on average, at most one
  // per byte logged, however long the failure lasts.
  if (WaitingStart > 0 && WaitingStart >= WaitingBytes()) {
    Buffer.erase(0, WaitingStart);
    WaitingStart = 0;
  }
}

std::string Logger::DroppedLinesNotice() const {
  if (DroppedLines == 0) return {};
  return LocalDateTimeText(Clock.Now()) + " - " + std::to_string(DroppedLines) +
         " log lines were dropped while the log file could not be written\r\n";
}
