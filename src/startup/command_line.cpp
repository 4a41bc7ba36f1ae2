#include "startup/command_line.h"

#include <algorithm>

#include "common/string_helpers.h"

namespace {

// Takes the long switches out of line (blanked, so that what is left reads as it always did)
// and applies them. Their values may hold "-", which the one-letter switches cannot.
void ApplyLongSwitches(std::string& line, Settings& settings) {
  for (std::size_t start = 0; (start = line.find("--", start)) != std::string::npos;) {
    const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
    const std::string_view token = std::string_view(line).substr(start, end - start);
    const std::size_t equals = std::min(token.find('='), token.size());
    const std::string_view name = token.substr(2, equals - 2);
    const std::string_view value = token.substr(std::min(equals + 1, token.size()));
    if (name == "no-browser") {
      settings.BrowserAnswers = false;
    } else if (name == "allow-origin") {
      const std::vector<std::string> origins = SplitString(value, ",");
      settings.AllowedOrigins.assign(origins.begin() + 1, origins.end());
    } else if (name == "replay-events") {
      settings.ReplayEvents =
          static_cast<std::size_t>(NumberInRange(value, 0, 16777216, 262144));
    } else {
      start = end;
      continue;
    }
    line.replace(start, end - start, end - start, ' ');
    start = end;
  }
}

}  // namespace

StartupOptions ReadCommandLine(std::string_view arguments) {
  StartupOptions options;
  Settings& settings = options.settings;
  std::string line = LowerCase(arguments);
  ApplyLongSwitches(line, settings);
  const std::vector<std::string> pieces = SplitString(line, "-");
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string_view piece = TrimBlanks(pieces[i]);
    if (piece.empty()) continue;
    const std::string_view value = TrimBlanks(piece.substr(1));
    switch (piece.front()) {
      case 's':
        options.RunAsService = true;
        break;
      case 'p':
        settings.StreamPort = NumberInRange(value, 1, 65535, 3677);
        break;
      case 'l':
        settings.EventPort = NumberInRange(value, 1, 65535, 9007);
        break;
      case 'd':
        settings.DebugLevel = static_cast<std::uint8_t>(NumberInRange(value, 0, 255, 6));
        break;
      case 'g':
        options.LogSizeMB = NumberInRange(value, 1, 1999, 10);
        break;
      case 'i':
        options.LogFileName = std::string(value);
        break;
      case 'e':
        settings.UseEventContentType = true;
        break;
      default:
        break;
    }
  }
  return options;
}
