// Any command line: every value stays within its range, case never matters, and an option given
// again at the end wins without disturbing the others.
#include <tuple>

#include "common/string_helpers.h"
#include "fuzz_input.h"
#include "startup/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const auto port = static_cast<std::int32_t>(1 + in.Number(65535));
  const std::string line(reinterpret_cast<const char*>(in.Data), in.Size);
  const auto read = [](const std::string& text) {
    const StartupOptions o = ReadCommandLine(text);
    const Settings& s = o.settings;
    return std::tuple(s.StreamPort, s.EventPort, o.LogSizeMB, o.LogFileName, o.RunAsService,
                      s.DebugLevel, s.UseEventContentType);
  };
  auto [stream, events, sizeMB, name, service, level, contentType] = read(line);
  Require(stream >= 1 && stream <= 65535 && events >= 1 && events <= 65535 && sizeMB >= 1 &&
              sizeMB <= 1999,
          "every number within its range");
  Require(name == "Debug.log" || (name == LowerCase(name) && name == TrimBlanks(name) &&
                                  name.find('-') == std::string::npos),
          "the file name is the default or one trimmed, lower-case piece");
  std::string upper = line;
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  Require(read(upper) == read(line), "case does not matter");
  Require(read(line + " -L " + std::to_string(port) + "\t") ==
              std::tuple(stream, port, sizeMB, name, service, level, contentType),
          "the last option wins alone");
  return 0;
}
