#include "log/logger.h"

#include <gtest/gtest.h>

#include <map>
#include <system_error>

#include "support/fake_clock.h"

namespace {

using namespace std::chrono_literals;

// Files as sizes and contents in memory; a preset size stands for content written earlier.
struct MemoryFiles {
  struct File {
    std::int64_t size = 0;
    std::string text;
  };
  std::map<std::string, File> files;
  int appends = 0;
  int renames = 0;
  bool failAppends = false;
  int failRenames = 0;
};

class FakeFileTools final : public FileTools {
 public:
  explicit FakeFileTools(MemoryFiles& state) : State(state) {}
  std::int64_t AppendToFile(const std::string& path, std::string_view text) override {
    if (State.failAppends)
      throw std::system_error(std::make_error_code(std::errc::no_space_on_device));
    ++State.appends;
    auto& file = State.files[path];
    file.text.append(text);
    file.size += static_cast<std::int64_t>(text.size());
    return file.size;
  }
  void RenameFile(const std::string& path, const std::string& newPath) override {
    if (State.failRenames > 0) {
      --State.failRenames;
      throw std::system_error(std::make_error_code(std::errc::permission_denied));
    }
    ++State.renames;
    State.files[newPath] = State.files[path];
    State.files.erase(path);
  }

 private:
  MemoryFiles& State;
};

constexpr const char* Path = "/srv/relay/Debug.log";
constexpr const char* Previous = "/srv/relay/Debug_2.log";

class LoggerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Logger> MakeLogger(std::uint8_t level = 6, bool withPath = true) {
    auto logger = std::make_unique<Logger>(std::make_unique<FakeFileTools>(files), clock,
                                           "/srv/relay/KorvelCaptureServer.log");
    logger->SetDebugLevel(level);
    if (withPath) logger->SetLogPath(Path);
    return logger;
  }
  std::string Line(std::string_view text) const {
    return LocalDateTimeText(clock.Now()) + " - " + std::string(text) + "\r\n";
  }
  // A message whose whole line, stamp and line end included, is exactly length characters.
  std::string MessageForLineOf(std::size_t length) const {
    return std::string(length - Line("").size(), 'x');
  }
  std::string& Text(const char* path) { return files.files[path].text; }

  MemoryFiles files;
  FakeClock clock;
};

TEST_F(LoggerTest, WritesMessagesAtOrAboveTheLevelOnly) {
  auto logger = MakeLogger(6);
  logger->LogDebug(1, "traffic");
  logger->LogDebug(3, "connection");
  EXPECT_EQ(files.appends, 0);
  EXPECT_EQ(logger->WaitingBytes(), 0u);
  logger->LogDebug(6, "six");
  logger->LogDebug(10, "Executing as application");
  EXPECT_EQ(Text(Path), Line("six") + Line("Executing as application"));

  auto everything = MakeLogger(0);
  everything->LogDebug(0, "zero");
  auto nothing = MakeLogger(255);
  nothing->LogDebug(254, "dropped");
  nothing->LogDebug(255, "kept");
  EXPECT_EQ(Text(Path),
            Line("six") + Line("Executing as application") + Line("zero") + Line("kept"));
}

TEST_F(LoggerTest, LineIsStampDashTextCrLfWithTheTextUnchanged) {
  auto logger = MakeLogger();
  const std::string multiLine = "first\r\nsecond \x01\xFF";
  logger->LogDebug(10, multiLine);
  const std::string stamp = LocalDateTimeText(clock.Now());
  EXPECT_FALSE(stamp.empty());
  EXPECT_EQ(Text(Path), stamp + " - " + multiLine + "\r\n");
  const std::string longMessage(5000, 'L');
  logger->LogDebug(10, longMessage);
  EXPECT_EQ(Text(Path).size(), Line(multiLine).size() + Line(longMessage).size());
}

TEST_F(LoggerTest, WithoutAPathWritesBesideTheExecutableAndAnEmptyFlushTouchesNothing) {
  auto logger = MakeLogger(6, false);
  logger->FlushBuffer();
  EXPECT_EQ(files.appends, 0);
  EXPECT_EQ(logger->CurrentLogPath(), "");
  logger->LogDebug(10, "hello");
  EXPECT_EQ(Text("/srv/relay/KorvelCaptureServer.log"), Line("hello"));
}

TEST_F(LoggerTest, RotatesBeforeTheWriteWhenTheWaitingTextWouldPassTheLimitLessFive) {
  for (int outOfRange : {0, -3}) {
    files = {};
    auto logger = MakeLogger();
    logger->SetLogSizeMB(outOfRange);  // raised to 1: limit 1,048,576
    files.files[Path].size = 1048000 - static_cast<std::int64_t>(Line("first").size());
    logger->LogDebug(10, "first");  // the file now reports 1,048,000 bytes
    ASSERT_EQ(files.files[Path].size, 1048000);
    logger->LogDebug(10, MessageForLineOf(600));  // 600 > 1,048,576 - 1,048,000 - 5 = 571
    EXPECT_EQ(files.files[Previous].size, 1048000);
    EXPECT_EQ(files.files[Path].size, 600);
  }
}

TEST_F(LoggerTest, RotatesAfterTheWriteWhenTheFileReachesTheLimitLessFive) {
  auto logger = MakeLogger();
  logger->SetLogSizeMB(1);
  files.files[Path].size = 1048000 - static_cast<std::int64_t>(Line("first").size());
  logger->LogDebug(10, "first");
  logger->LogDebug(10, MessageForLineOf(571));  // fits, and brings the file to 1,048,571
  EXPECT_EQ(files.files[Previous].size, 1048571);
  EXPECT_EQ(files.files.count(Path), 0u);
  logger->LogDebug(10, "next");
  EXPECT_EQ(Text(Path), Line("next"));
}

TEST_F(LoggerTest, SizeLimitIsCappedAt1999MBAndOneGenerationIsKept) {
  auto logger = MakeLogger();
  logger->SetLogSizeMB(5000);
  const std::int64_t limit = 1999 * Logger::BytesPerMB;
  files.files[Path].size = limit - 100 - static_cast<std::int64_t>(Line("a").size());
  logger->LogDebug(10, "a");  // file at limit - 100: not rotated
  EXPECT_EQ(files.renames, 0);
  logger->LogDebug(10, MessageForLineOf(95));  // reaches limit - 5
  EXPECT_EQ(files.renames, 1);
  logger->LogDebug(10, "second generation");
  logger->SetLogSizeMB(1);
  logger->LogDebug(10, MessageForLineOf(2 * 1048576));  // alone larger than the limit
  EXPECT_EQ(files.renames, 3);                          // before the write and again after it
  EXPECT_EQ(files.files[Previous].size, 2 * 1048576);
}

TEST_F(LoggerTest, DelayedLinesGoOutWithTheFirstMessageASecondLaterOrWhenMuchIsWaiting) {
  auto logger = MakeLogger();
  logger->SetUseLogDelay(true);
  std::string expected = Line("first");
  logger->LogDebug(10, "first");  // nothing written before: goes out at once
  EXPECT_EQ(files.appends, 1);
  for (const char* message : {"a", "b", "c"}) {
    clock.Advance(300ms);
    expected += Line(message);
    logger->LogDebug(10, message);
  }
  EXPECT_EQ(files.appends, 1);
  clock.Advance(100ms);  // one second after the last write
  expected += Line("d");
  logger->LogDebug(10, "d");
  EXPECT_EQ(files.appends, 2);
  EXPECT_EQ(Text(Path), expected);

  logger->LogDebug(10, MessageForLineOf(Logger::DelayedFlushBytes));
  EXPECT_EQ(files.appends, 3);
  logger->LogDebug(10, "waiting at release");
  EXPECT_EQ(files.appends, 3);
  const std::string expectedLast = Line("waiting at release");
  logger.reset();
  EXPECT_EQ(files.appends, 4);
  EXPECT_TRUE(Text(Path).ends_with(expectedLast));
}

TEST_F(LoggerTest, DelayedLinesGoOutAtOnceAfterLocalMidnight) {
  clock.Set(FakeClock::Local(2026, 12, 7, 23, 59, 59, 600));
  auto logger = MakeLogger();
  logger->SetUseLogDelay(true);
  logger->LogDebug(10, "before midnight");
  clock.Set(FakeClock::Local(2026, 12, 8, 0, 0, 0, 100));
  logger->LogDebug(10, "after midnight");  // 0.5 s later, but the day changed
  EXPECT_EQ(files.appends, 2);
}

TEST_F(LoggerTest, KeepsLinesThroughAFailingFileAndWritesThemLater) {
  auto logger = MakeLogger();
  files.failAppends = true;
  EXPECT_THROW(logger->LogDebug(10, "while the disk is full"), std::system_error);
  files.failAppends = false;
  logger->LogDebug(10, "disk has room again");
  EXPECT_EQ(Text(Path), Line("while the disk is full") + Line("disk has room again"));
}

TEST_F(LoggerTest, DropsTheOldestLinesBeyondOneMebibyteAndSaysHowMany) {
  auto logger = MakeLogger();
  files.failAppends = true;
  const int total = 3000;
  for (int i = 0; i < total; ++i) {
    const std::string message = std::to_string(i) + " " + std::string(500, 'x');
    EXPECT_THROW(logger->LogDebug(10, message), std::system_error);
  }
  EXPECT_LE(logger->WaitingBytes(), Logger::MaxWaitingBytes);
  files.failAppends = false;
  logger->FlushBuffer();

  const std::string& text = Text(Path);
  const std::size_t noticeEnd = text.find("\r\n");
  const std::string notice = text.substr(0, noticeEnd);
  ASSERT_NE(notice.find(" log lines were dropped while the log file could not be written"),
            std::string::npos);
  const std::string stamped = LocalDateTimeText(clock.Now()) + " - ";
  const int dropped = std::stoi(notice.substr(stamped.size()));
  const std::string firstKept = text.substr(noticeEnd + 2 + stamped.size());
  EXPECT_EQ(std::stoi(firstKept), dropped);  // the kept lines are the newest, without a gap
  EXPECT_TRUE(text.ends_with(" " + std::string(500, 'x') + "\r\n"));
  EXPECT_NE(text.find(std::to_string(total - 1) + " x"), std::string::npos);
  logger->LogDebug(10, "later");
  EXPECT_EQ(text.find("dropped", noticeEnd), std::string::npos);  // said once only
}

TEST_F(LoggerTest, AFailedRotationAfterTheWriteNeverWritesTheTextTwice) {
  auto logger = MakeLogger();
  logger->SetLogSizeMB(1);
  files.files[Path].size = 1048576 - 10;
  files.failRenames = 1;
  EXPECT_THROW(logger->LogDebug(10, "once only"), std::system_error);
  logger->LogDebug(10, "next");  // the rotation is retried before this write
  EXPECT_EQ(Text(Previous), Line("once only"));
  EXPECT_EQ(Text(Path), Line("next"));
}

}  // namespace
