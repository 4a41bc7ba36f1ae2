#include "log/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support/fake_clock.h"

namespace fs = std::filesystem;
constexpr std::int64_t MB = Logger::BytesPerMB;

// The Logger over the host's real file code, in a folder of the test's own.
class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() {
    fs::create_directories(Folder);
    logger.SetLogPath(Path.string());
  }
  ~LoggerTest() override { fs::remove_all(Folder); }
  std::string Line(std::string_view text) const {
    return LocalDateTimeText(clock.Now()) + " - " + std::string(text) + "\r\n";
  }
  // A message whose whole line, stamp and line end included, is exactly length characters.
  std::string MessageForLineOf(std::size_t length) const {
    return std::string(length - Line("").size(), 'x');
  }
  // Lets the logger learn that its file already holds size bytes (most of them a sparse hole).
  void FileOf(std::int64_t size) {
    std::ofstream(Path).close();
    fs::resize_file(Path, static_cast<std::uintmax_t>(size) - Line("first").size());
    logger.LogDebug(10, "first");
  }
  static std::int64_t Size(const fs::path& path) {
    return fs::exists(path) ? std::int64_t(fs::file_size(path)) : -1;
  }

  const fs::path Folder = fs::temp_directory_path() / ("korvel-log-" + std::to_string(::getpid()));
  const fs::path Path = Folder / "Debug.log", Previous = Folder / "Debug_2.log";
  FakeClock clock;
  Logger logger{MakeHostFileTools(), clock, ""};
};

TEST_F(LoggerTest, MovesTheFileAsideWhenTheWaitingTextWouldPassTheLimitLessFive) {
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
  for (const auto& [sizeMB, file, removed, line, previous, current] : rows) {
    fs::remove(Path), fs::remove(Previous);
    logger.SetLogSizeMB(sizeMB);
    FileOf(file);
    if (removed) fs::remove(Path);
    logger.LogDebug(10, MessageForLineOf(line));
    EXPECT_EQ(std::pair(Size(Previous), Size(Path)), std::pair(previous, current)) << line;
  }
}

TEST_F(LoggerTest, KeepsTheNewestMebibyteThroughAFailingFileAndSaysHowManyLinesWereDropped) {
  logger.SetLogPath((Folder / "later" / "Debug.log").string());
  const std::string dots(500, '.');
  for (int i = 0; i < 3000; ++i)
    EXPECT_THROW(logger.LogDebug(10, std::to_string(i) + dots), std::system_error);
  fs::create_directory(Folder / "later");
  logger.LogDebug(10, "back");
  std::ifstream file(Folder / "later" / "Debug.log", std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  const std::string notice = text.substr(0, text.find("\r\n")),
                    kept = text.substr(notice.size() + 2);
  std::smatch dropped;
  ASSERT_TRUE(std::regex_match(notice, dropped,
                               std::regex(".* - (\\d+) log lines were dropped while "
                                          "the log file could not be written")));
  EXPECT_TRUE(kept.starts_with(Line(dropped[1].str() + dots)));  // the newest, without a gap
  EXPECT_TRUE(kept.ends_with(Line("2999" + dots) + Line("back")));
  EXPECT_LE(kept.size(), Logger::MaxWaitingBytes + Line("back").size());
}
