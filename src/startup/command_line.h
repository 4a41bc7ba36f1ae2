#pragma once

#include <string_view>

#include "startup/settings.h"

// Reads the command-line arguments (the text after the program's own name). Unknown letters,
// text before the first "-" and unreadable numbers are passed over silently: a rejected number
// gives the option's default, never an earlier value of the same option.
StartupOptions ReadCommandLine(std::string_view arguments);
