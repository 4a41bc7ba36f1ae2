#pragma once

#include <cstdint>

// Program-wide settings: read once from the command line, then only read.
struct Settings {
  std::uint8_t DebugLevel = 6;
  std::int32_t StreamPort = 3677;
  std::int32_t EventPort = 9007;
  bool UseEventContentType = true;
};
