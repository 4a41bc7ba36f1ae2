#include "startup/command_line.h"

#include <algorithm>

#include "common/string_helpers.h"

namespace {

void ReadNetworks(std::string_view name, std::string_view value, std::optional<NetworkList>& list,
                  std::vector<std::string>& problems) {
  std::string problem;
  list = NetworkList::Parse(value, problem);
  if (!list) problems.push_back("--" + std::string(name) + ": " + problem);
}

// "PORT" (on the loopback address), "ADDRESS:PORT" or "[IPV6-ADDRESS]:PORT".
void ReadMetricsEndpoint(std::string_view value, Settings& settings,
                         std::vector<std::string>& problems) {
  const std::size_t colon = value.rfind(':');
  const bool portOnly = colon == std::string_view::npos;
  std::string_view address = portOnly ? "127.0.0.1" : value.substr(0, colon);
  const bool bracketed = address.size() >= 2 && address.front() == '[' && address.back() == ']';
  if (bracketed) address = address.substr(1, address.size() - 2);
  const bool ipv6 = address.find(':') != std::string_view::npos;
  const std::int32_t port = NumberInRange(value.substr(portOnly ? 0 : colon + 1), 1, 65535, 0);
  if (port == 0 || ipv6 != bracketed || !ParseAddress(address)) {
    problems.push_back("--metrics: '" + std::string(value) +
                       "' is not PORT, ADDRESS:PORT or [IPV6-ADDRESS]:PORT");
    return;
  }
  settings.MetricsPort = port;
  settings.MetricsAddress = std::string(address);
}

// Takes the long switches out of line (blanked, so that what is left reads as it always did)
// and applies them. Their values may hold "-", which the one-letter switches cannot, and their
// names are words, which the one-letter switches would read by their first letter alone. A
// folder is taken from the original, whose letters keep their case.
void ApplyLongSwitches(std::string& line, std::string_view original, StartupOptions& options) {
  Settings& settings = options.settings;
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
    } else if (name == "allow-clients") {
      ReadNetworks(name, value, settings.AllowedClients, options.Problems);
    } else if (name == "allow-senders") {
      ReadNetworks(name, value, settings.AllowedSenders, options.Problems);
    } else if (name == "ipv4-only") {
      settings.Ipv4Only = true;
    } else if (name == "metrics") {
      ReadMetricsEndpoint(value, settings, options.Problems);
    } else if (name == "journal") {
      options.JournalFolder = original.substr(end - value.size(), value.size());
      if (value.empty()) options.Problems.push_back("--journal: name a folder: --journal=FOLDER");
    } else if (name == "no-journal") {
      options.NoJournal = true;
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
  ApplyLongSwitches(line, arguments, options);
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
