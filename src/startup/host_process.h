#pragma once

#include <string>

// What start-up needs from the host it runs on.

// Ignores broken-pipe signals, raises the open-file limit as far as allowed and takes the
// user's date and time format.
void PrepareProcess();
// The program's arguments as one text (what follows the program's own name).
std::string CommandLineText(int argc, char** argv);
// The folder of the executable, with its trailing separator.
std::string ExecutableFolder();
// The executable's file name without extension.
std::string ExecutableBaseName();
// A message box with one OK button, captioned with the program's title.
void ShowMessage(const std::string& text);
