#include "log/logger.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
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
  // Size limit in MiB, the file's size, whether a log cleaner removes it, how large a full disk
  // lets the file grow while the next line is written (0: no bound; the line is tried again once
  // there is room), the next line's length, and the sizes of the previous generation and the
  // current file afterwards (-1: none).
  using Row =
      std::tuple<int, std::int64_t, bool, std::int64_t, std::size_t, std::int64_t, std::int64_t>;
  const Row rows[] = {
      {1, 1048000, false, 0, 572, 1048000, 572},  // 572 > 1,048,576 - 1,048,000 - 5: before
      {1, 1048000, false, 0, 571, 1048571, -1},   // fits, and reaches the limit less five: after
      {0, 1048000, false, 0, 600, 1048000, 600},  // below 1 MiB counts as 1
      {5000, 1999 * MB - 100, false, 0, 95, 1999 * MB - 5, -1},  // above 1999 MiB as 1999
      {5000, 1999 * MB - 100, false, 0, 94, -1, 1999 * MB - 6},
      {1, 1000, false, 0, 2 * MB, 2 * MB, -1},  // alone larger than the limit: before and after
      {1, 1048000, true, 0, 1000, -1, 1000},    // moving a missing file aside must not stop it
      // The disk fills inside the line: the retry writes only the rest, and counts it.
      {1, 1000, false, 1500, 1000, -1, 2000},
      {1, 1048000, false, 1048300, 571, 1048571, -1},
      {1, 1048000, false, 300, 600, 1048000, 600},  // in the new file, after the move
  };
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the bound fails with EFBIG instead
  rlimit bound{};
  ::getrlimit(RLIMIT_FSIZE, &bound);
  const rlimit unbounded = bound;
  for (const auto& [sizeMB, file, removed, room, line, before, after] : rows) {
    fs::remove(path), fs::remove(previous);
    logger.SetLogSizeMB(sizeMB);
    std::ofstream(path).close();  // a sparse file, then a line that lets the logger learn its size
    fs::resize_file(path, static_cast<std::uintmax_t>(file) - stamped - 5);
    logger.LogDebug(10, "first");
    if (removed) fs::remove(path);
    bound.rlim_cur = room > 0 ? static_cast<rlim_t>(room) : unbounded.rlim_cur;
    ::setrlimit(RLIMIT_FSIZE, &bound);
    try {
      logger.LogDebug(10, std::string(line - stamped, 'x'));  // a line of exactly that length
    } catch (const std::system_error&) {
      EXPECT_GT(room, 0) << line;
    }
    ::setrlimit(RLIMIT_FSIZE, &unbounded);
    logger.FlushBuffer();
    EXPECT_EQ(std::pair(size(previous), size(path)), std::pair(before, after)) << line;
  }
  std::signal(SIGXFSZ, SIG_DFL);
  fs::remove_all(folder);
}
