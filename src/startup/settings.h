#pragma once

#include <cstdint>
#include <string>

// Program-wide settings: read once from the command line, then only read.
struct Settings {
  std::uint8_t DebugLevel = 6;
  std::int32_t StreamPort = 3677;
  std::int32_t EventPort = 9007;
  bool UseEventContentType = true;
};

// What the command line decides beyond the settings; used only while the program starts.
struct StartupOptions {
  Settings settings;
  bool RunAsService = false;
  std::int32_t LogSizeMB = 10;
  std::string LogFileName = "Debug.log";
};
