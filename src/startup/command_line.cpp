#include "startup/command_line.h"

#include "common/string_helpers.h"

StartupOptions ReadCommandLine(std::string_view arguments) {
  StartupOptions options;
  Settings& settings = options.settings;
  const std::vector<std::string> pieces = SplitString(LowerCase(arguments), "-");
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
