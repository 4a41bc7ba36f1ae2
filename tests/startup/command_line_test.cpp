#include "startup/command_line.h"

#include <gtest/gtest.h>

std::string Summary(const StartupOptions& o) {
  const Settings& s = o.settings;
  return (o.RunAsService ? "service p" : "app p") + std::to_string(s.StreamPort) + " l" +
         std::to_string(s.EventPort) + " d" + std::to_string(s.DebugLevel) + " g" +
         std::to_string(o.LogSizeMB) + " i=" + o.LogFileName +
         (s.UseEventContentType ? " e" : " plain");
}

// Each row: a command line, and a part of what it must give.
TEST(CommandLine, LowerCasesSplitsAtEveryDashAndReadsNumbersWithinTheirRanges) {
  const std::pair<const char*, const char*> rows[] = {
      {"", "app p3677 l9007 d6 g10 i=Debug.log e"},
      {"-S -P 4000 -L 5000 -D 0 -G 1999 -I Trace.TXT -e",
       "service p4000 l5000 d0 g1999 i=trace.txt e"},
      {"-p4000 -l 65535 -d 255 -g 1", "app p4000 l65535 d255 g1 "},
      {"-port 4000 -l 65536 -d 256 -g 2000", "p3677 l9007 d6 g10"},
      {"-p 0 -l x -d -g 1 000", "p3677 l9007 d6 g10"},
      {"-p 3677.5 -l 4000.5 -d 2.5 -g 3.5", "p3678 l4000 d2 g4"},  // ties to the even number
      {"-p +7 -l 1e3 -d 0.25e+1 -g 0.5e1", "p7 l1000 d2 g5"},
      {"-p 99999999999 -l 2147483648 -d 1e400", "p3677 l9007 d6"},
      {"-p .5e1 -l 4000x -d 1.2.3 -g 0x10", "p5 l9007 d6 g10"},
      {"-p 5000 -p x -d -1", "p3677 l9007 d6"},  // a rejected value gives the default
      {"-i My-Log.txt", "l9007 d6 g10 i=my e"},
      {"run -silent -exit", "service p3677"},
      {"-x 1 -- -z -p 4001 -i", "app p4001 l9007 d6 g10 i= e"},
      {"-i c:\\logs\\a.log -p 1e", "p3677 l9007 d6 g10 i=c:\\logs\\a.log e"},
  };
  for (const auto& [line, expected] : rows) {
    EXPECT_NE(Summary(ReadCommandLine(line)).find(expected), std::string::npos)
        << line << " gave " << Summary(ReadCommandLine(line));
  }
}
