#include <windows.h>

#include "common/file_path.h"
#include "startup/host_process.h"

namespace {

std::string ExecutablePath() {
  char path[MAX_PATH + 1] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

}  // namespace

void PrepareProcess() {
  // Nothing to do here: Windows raises no signal for a vanished peer, sets no limit on open
  // sockets that could be raised, and gives the user's date and time forms through its API.
}

std::string CommandLineText(int /*argc*/, char** /*argv*/) {
  // The line as the program was given it, after its own name (which may be quoted).
  const char* line = GetCommandLineA();
  for (bool quoted = false; *line != '\0' && (quoted || (*line != ' ' && *line != '\t')); ++line) {
    if (*line == '"') quoted = !quoted;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

std::string LogFolder() {
  const std::string folder = GetFolderPath(ExecutablePath());
  return folder.empty() ? ".\\" : folder;
}

std::string ExecutableBaseName() {
  return GetBaseName(ExecutablePath());
}

void ShowMessage(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), "KorvelCaptureServer", MB_OK);
}
