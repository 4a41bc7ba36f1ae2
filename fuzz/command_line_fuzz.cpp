// Any command line: every value stays within its range, case never matters, and an option given
// again at the end wins without disturbing the others.
#include <tuple>

#include "common/string_helpers.h"
#include "fuzz_input.h"
#include "startup/command_line.h"

namespace {

auto Fields(const StartupOptions& o) {
  const Settings& s = o.settings;
  return std::tuple(o.RunAsService, o.LogSizeMB, o.LogFileName, s.DebugLevel, s.StreamPort,
                    s.EventPort, s.UseEventContentType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const auto port = static_cast<std::int32_t>(1 + in.Number(65535));
  const std::string line(reinterpret_cast<const char*>(in.Data), in.Size);
  StartupOptions options = ReadCommandLine(line);
  const Settings& s = options.settings;
  const std::string& name = options.LogFileName;
  Require(s.StreamPort >= 1 && s.StreamPort <= 65535 && s.EventPort >= 1 &&
              s.EventPort <= 65535 && options.LogSizeMB >= 1 && options.LogSizeMB <= 1999,
          "every number within its range");
  Require(name == "Debug.log" || (name == LowerCase(name) && name == TrimBlanks(name) &&
                                  name.find('-') == std::string::npos),
          "the file name is the default or one trimmed, lower-case piece");
  std::string upper = line;
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  Require(Fields(ReadCommandLine(upper)) == Fields(options), "case does not matter");
  const std::string again = line + " -L " + std::to_string(port) + "\t";
  options.settings.EventPort = port;
  Require(Fields(ReadCommandLine(again)) == Fields(options), "the last option wins alone");
  return 0;
}
