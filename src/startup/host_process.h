#pragma once

#include <string>

// What start-up needs from the host it runs on.

// Ignores broken-pipe signals, raises the open-file limit as far as allowed and takes the
// user's date and time format.
void PrepareProcess();
// The program's arguments as one text (what follows the program's own name).
std::string CommandLineText(int argc, char** argv);
// The folder the log goes to, with its trailing separator: the one the service manager keeps
// for the program's logs when it names one, otherwise the executable's.
std::string LogFolder();
// The executable's file name without extension.
std::string ExecutableBaseName();
// A message box with one OK button, captioned with the program's title.
void ShowMessage(const std::string& text);
