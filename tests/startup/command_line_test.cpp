#include "startup/command_line.h"

#include <gtest/gtest.h>

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
  const StartupOptions options = ReadCommandLine("");
  EXPECT_FALSE(options.RunAsService);
  EXPECT_EQ(options.settings.StreamPort, 3677);
  EXPECT_EQ(options.settings.EventPort, 9007);
  EXPECT_EQ(options.settings.DebugLevel, 6);
  EXPECT_TRUE(options.settings.UseEventContentType);
  EXPECT_EQ(options.LogSizeMB, 10);
  EXPECT_EQ(options.LogFileName, "Debug.log");
}

TEST(CommandLine, LowerCasesAndReadsEveryOption) {
  const StartupOptions options = ReadCommandLine("-S -P 4000 -L 5000 -D 0 -G 1999 -I Trace.TXT -e");
  EXPECT_TRUE(options.RunAsService);
  EXPECT_EQ(options.settings.StreamPort, 4000);
  EXPECT_EQ(options.settings.EventPort, 5000);
  EXPECT_EQ(options.settings.DebugLevel, 0);
  EXPECT_EQ(options.LogSizeMB, 1999);
  EXPECT_EQ(options.LogFileName, "trace.txt");
}

TEST(CommandLine, PortValues) {
  const auto port = [](const char* line) { return ReadCommandLine(line).settings.StreamPort; };
  EXPECT_EQ(port("-p4000"), 4000);
  EXPECT_EQ(port("-port 4000"), 3677);
  EXPECT_EQ(port("-p 0"), 3677);
  EXPECT_EQ(port("-p 65536"), 3677);
  EXPECT_EQ(port("-p 65535"), 65535);
  EXPECT_EQ(port("-p x"), 3677);
  EXPECT_EQ(port("-p"), 3677);
  EXPECT_EQ(port("-p 3677.5"), 3678);
  EXPECT_EQ(port("-p 4000.5"), 4000);
  EXPECT_EQ(port("-p 99999999999"), 3677);
}

TEST(CommandLine, ARejectedValueGivesTheDefaultNotAnEarlierValue) {
  EXPECT_EQ(ReadCommandLine("-p 5000 -p x").settings.StreamPort, 3677);
  EXPECT_EQ(ReadCommandLine("-p 5000 -p 6000").settings.StreamPort, 6000);
  EXPECT_EQ(ReadCommandLine("-g 5 -g 2000").LogSizeMB, 10);
  EXPECT_EQ(ReadCommandLine("-d 3 -d 256").settings.DebugLevel, 6);
}

TEST(CommandLine, DashesInsideValuesStartNewPieces) {
  // "-d -1": the piece "d" has no value and the piece "1" is no option.
  EXPECT_EQ(ReadCommandLine("-d -1").settings.DebugLevel, 6);
  // "-i My-Log.txt": the name stops at the dash; "log.txt" reads as -l with "og.txt".
  const StartupOptions options = ReadCommandLine("-i My-Log.txt");
  EXPECT_EQ(options.LogFileName, "my");
  EXPECT_EQ(options.settings.EventPort, 9007);
}

TEST(CommandLine, PassesOverUnknownLettersAndLeadingText) {
  EXPECT_TRUE(ReadCommandLine("run -s").RunAsService);
  EXPECT_TRUE(ReadCommandLine("-silent").RunAsService);
  EXPECT_TRUE(ReadCommandLine("-exit").settings.UseEventContentType);
  const StartupOptions options = ReadCommandLine("-x 1 -- -z -p 4001");
  EXPECT_FALSE(options.RunAsService);
  EXPECT_EQ(options.settings.StreamPort, 4001);
  EXPECT_EQ(ReadCommandLine("-i").LogFileName, "");
  EXPECT_EQ(ReadCommandLine("-i c:\\logs\\a.log").LogFileName, "c:\\logs\\a.log");
}
