#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"

// What the command line decides: the settings, and what only start-up uses.
struct StartupOptions {
  Settings settings;
  bool RunAsService = false;
  std::int32_t LogSizeMB = 10;
  std::string LogFileName = "Debug.log";
  // The event journal's folder, as named on the command line (empty: the service manager's state
  // folder, if any), and whether there is to be none at all.
  std::string JournalFolder;
  bool NoJournal = false;
  // What the long switches could not read. The one-letter switches pass over what they cannot
  // read, as they always have; an access list or metrics address that is wrong must not.
  std::vector<std::string> Problems;
};

// Reads the command-line arguments (the text after the program's own name). Unknown letters,
// text before the first "-" and unreadable numbers are passed over silently: a rejected number
// gives the option's default, never an earlier value of the same option.
StartupOptions ReadCommandLine(std::string_view arguments);
