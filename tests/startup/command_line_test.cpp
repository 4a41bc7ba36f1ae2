#include "startup/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// Service mode, stream port, event port, debug level, log size in MiB, log name, event type.
using Values = std::tuple<bool, int, int, int, int, std::string, bool>;

Values Read(const char* line) {
  const StartupOptions o = ReadCommandLine(line);
  const Settings& s = o.settings;
  return {o.RunAsService, s.StreamPort, s.EventPort, s.DebugLevel, o.LogSizeMB, o.LogFileName,
          s.UseEventContentType};
}

}  // namespace

TEST(CommandLine, LowerCasesSplitsAtEveryDashAndReadsNumbersWithinTheirRanges) {
  const std::pair<const char*, Values> rows[] = {
      {"", {false, 3677, 9007, 6, 10, "Debug.log", true}},
      {"-S -P 4000 -L 5000 -D 0 -G 1999 -I Trace.TXT -e",
       {true, 4000, 5000, 0, 1999, "trace.txt", true}},
      {"-p4000 -l 65535 -d 255 -g 1", {false, 4000, 65535, 255, 1, "Debug.log", true}},
      {"-port 4000 -l 65536 -d 256 -g 2000", {false, 3677, 9007, 6, 10, "Debug.log", true}},
      {"-p 0 -l x -d -g 1 000", {false, 3677, 9007, 6, 10, "Debug.log", true}},
      // Ties go to the even number.
      {"-p 3677.5 -l 4000.5 -d 2.5 -g 3.5", {false, 3678, 4000, 2, 4, "Debug.log", true}},
      {"-p +7 -l 1e3 -d 0.25e+1 -g 0.5e1", {false, 7, 1000, 2, 5, "Debug.log", true}},
      {"-p 99999999999 -l 2147483648 -d 1e400", {false, 3677, 9007, 6, 10, "Debug.log", true}},
      {"-p .5e1 -l 4000x -d 1.2.3 -g 0x10", {false, 5, 9007, 6, 10, "Debug.log", true}},
      // A rejected value gives the default, not the value given before it.
      {"-p 5000 -p x -d -1", {false, 3677, 9007, 6, 10, "Debug.log", true}},
      {"-i My-Log.txt", {false, 3677, 9007, 6, 10, "my", true}},
      {"run -silent -exit", {true, 3677, 9007, 6, 10, "Debug.log", true}},
      {"-x 1 -- -z -p 4001 -i", {false, 4001, 9007, 6, 10, "", true}},
      {"-i c:\\logs\\a.log -p 1e", {false, 3677, 9007, 6, 10, "c:\\logs\\a.log", true}},
  };
  for (const auto& [line, expected] : rows) EXPECT_EQ(Read(line), expected) << line;
}

TEST(CommandLine, ReadsTheOperatorsSwitchesAndRefusesWhatItCannotRead) {
  // Metrics port and address, IPv4 alone, whether 10.1.2.3 may subscribe and ::1 may send, the
  // problems named, and the stream port, read as ever after the long switches.
  using Operations = std::tuple<int, std::string, bool, bool, bool, std::string, int>;
  const auto read = [](const char* line) {
    const StartupOptions o = ReadCommandLine(line);
    const Settings& s = o.settings;
    std::string problems;
    for (const std::string& problem : o.Problems) problems += problem + ";";
    return Operations{s.MetricsPort, s.MetricsAddress, s.Ipv4Only,
                      !s.AllowedClients || s.AllowedClients->Contains(*ParseAddress("10.1.2.3")),
                      !s.AllowedSenders || s.AllowedSenders->Contains(*ParseAddress("::1")),
                      problems, s.StreamPort};
  };
  const std::pair<const char*, Operations> rows[] = {
      {"", {0, "127.0.0.1", false, true, true, "", 3677}},
      {"--metrics=9107 --IPv4-Only -p 4000", {9107, "127.0.0.1", true, true, true, "", 4000}},
      {"--metrics=0.0.0.0:80 --allow-clients=10.1.0.0/16,::1 --allow-senders=10.0.0.0/8",
       {80, "0.0.0.0", false, true, false, "", 3677}},
      {"-p 4000 --metrics=[::1]:9107 --allow-clients=10.1.2.4 --allow-senders=::/0",
       {9107, "::1", false, false, true, "", 4000}},
      {"--metrics=::1:9107", {0, "127.0.0.1", false, true, true,
       "--metrics: '::1:9107' is not PORT, ADDRESS:PORT or [IPV6-ADDRESS]:PORT;", 3677}},
      {"--metrics=[10.0.0.1]:1 --allow-senders=10.0.0.0/33 -p 4000",
       {0, "127.0.0.1", false, true, true,
        "--metrics: '[10.0.0.1]:1' is not PORT, ADDRESS:PORT or [IPV6-ADDRESS]:PORT;"
        "--allow-senders: '10.0.0.0/33' is not an address or network;", 4000}},
      {"--metrics=0 --allow-clients=", {0, "127.0.0.1", false, true, true,
       "--metrics: '0' is not PORT, ADDRESS:PORT or [IPV6-ADDRESS]:PORT;"
       "--allow-clients: the list of networks is empty;", 3677}},
  };
  for (const auto& [line, expected] : rows) EXPECT_EQ(read(line), expected) << line;
}
