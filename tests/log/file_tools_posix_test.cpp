#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/local_clock.h"
#include "log/file_tools.h"
#include "log/logger.h"

namespace {

class HostFileToolsTest : public ::testing::Test {
 protected:
  HostFileToolsTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvel-files-XXXXXX").string();
    Dir = ::mkdtemp(pattern.data());
  }
  ~HostFileToolsTest() override { std::filesystem::remove_all(Dir); }
  std::string Read(const std::string& name) const {
    std::ifstream file(Dir / name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
  std::string PathOf(const std::string& name) const { return (Dir / name).string(); }

  std::filesystem::path Dir;
};

TEST_F(HostFileToolsTest, AppendsReportsTheLengthAndRenameReplacesThePreviousGeneration) {
  const auto files = MakeHostFileTools();
  EXPECT_EQ(files->AppendToFile(PathOf("Debug.log"), "one\r\n"), 5);
  EXPECT_EQ(files->AppendToFile(PathOf("Debug.log"), std::string("t\0o\r\n", 5)), 10);
  files->RenameFile(PathOf("Debug.log"), PathOf("Debug_2.log"));
  files->AppendToFile(PathOf("Debug.log"), "three\r\n");
  files->RenameFile(PathOf("Debug.log"), PathOf("Debug_2.log"));
  EXPECT_EQ(Read("Debug_2.log"), "three\r\n");
  EXPECT_FALSE(std::filesystem::exists(Dir / "Debug.log"));
  EXPECT_THROW(files->AppendToFile(PathOf("no/such/folder.log"), "x"), std::system_error);
}

TEST_F(HostFileToolsTest, LogKeepsWorkingAfterItsFileWasRemovedFromOutside) {
  const SystemClock clock;
  Logger logger(MakeHostFileTools(), clock, PathOf("default.log"));
  logger.SetLogPath(PathOf("Debug.log"));
  logger.SetLogSizeMB(1);
  logger.LogDebug(10, std::string(1048000, 'a'));
  std::filesystem::remove(Dir / "Debug.log");   // as a log cleaner would
  logger.LogDebug(10, std::string(1000, 'b'));  // would pass the limit: rotates a missing file
  EXPECT_NE(Read("Debug.log").find(std::string(1000, 'b')), std::string::npos);
}

}  // namespace
