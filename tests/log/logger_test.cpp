#include "log/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/fake_clock.h"

namespace fs = std::filesystem;
constexpr std::int64_t MB = 1048576;

// Over the host's real file code, in a folder of the test's own.
TEST(Logger, MovesTheFileAsideWhenTheWaitingTextWouldPassTheLimitLessFive) {
  const fs::path folder = fs::temp_directory_path() / ("korvel-log-" + std::to_string(::getpid()));
  const fs::path path = folder / "Debug.log", previous = folder / "Debug_2.log";
  fs::create_directories(folder);
  FakeClock clock;
  Logger logger{MakeHostFileTools(), clock, ""};
  logger.SetLogPath(path.string());
  const std::size_t stamped = LocalDateTimeText(clock.Now()).size() + 5;  // " - ", CR LF
  const auto size = [](const fs::path& file) {
    return fs::exists(file) ? std::int64_t(fs::file_size(file)) : -1;
  };
  // Size limit in MiB, the file's size, whether a log cleaner removes it, the next line's length,
  // and the sizes of the previous generation and the current file afterwards (-1: none).
  const std::tuple<int, std::int64_t, bool, std::size_t, std::int64_t, std::int64_t> rows[] = {
      {1, 1048000, false, 572, 1048000, 572},  // 572 > 1,048,576 - 1,048,000 - 5: before the write
      {1, 1048000, false, 571, 1048571, -1},   // fits, and reaches the limit less five: after it
      {0, 1048000, false, 600, 1048000, 600},  // below 1 MiB counts as 1
      {5000, 1999 * MB - 100, false, 95, 1999 * MB - 5, -1},  // above 1999 MiB as 1999
      {5000, 1999 * MB - 100, false, 94, -1, 1999 * MB - 6},
      {1, 1000, false, 2 * MB, 2 * MB, -1},  // alone larger than the limit: before and after
      {1, 1048000, true, 1000, -1, 1000},    // moving a missing file aside must not stop the log
  };
  for (const auto& [sizeMB, file, removed, line, before, after] : rows) {
    fs::remove(path), fs::remove(previous);
    logger.SetLogSizeMB(sizeMB);
    std::ofstream(path).close();  // a sparse file, then a line that lets the logger learn its size
    fs::resize_file(path, static_cast<std::uintmax_t>(file) - stamped - 5);
    logger.LogDebug(10, "first");
    if (removed) fs::remove(path);
    logger.LogDebug(10, std::string(line - stamped, 'x'));  // a line of exactly that length
    EXPECT_EQ(std::pair(size(previous), size(path)), std::pair(before, after)) << line;
  }
  fs::remove_all(folder);
}
