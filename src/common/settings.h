#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/network_list.h"

// Program-wide settings: read once from the command line, then only read.
struct Settings {
  std::uint8_t DebugLevel = 6;
  std::int32_t StreamPort = 3677;
  std::int32_t EventPort = 9007;
  bool UseEventContentType = true;
  // Answers for browsers (Server-Sent Events) to the requests that ask for them; off, every
  // request gets the multipart stream.
  bool BrowserAnswers = true;
  // Origins whose pages may read the event stream ("*": any); the relay's own page needs none.
  std::vector<std::string> AllowedOrigins;
  // Events kept for clients that resume (0: none).
  std::size_t ReplayEvents = 262144;
  // Who may subscribe and who may send events; absent, anyone may.
  std::optional<NetworkList> AllowedClients;
  std::optional<NetworkList> AllowedSenders;
  // Both ports take IPv6 peers too where the host has IPv6.
  bool Ipv4Only = false;
  // The metrics port (0: none) and the local address it listens on.
  std::int32_t MetricsPort = 0;
  std::string MetricsAddress = "127.0.0.1";
};
