#include <sys/resource.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/file_path.h"
#include "startup/host_process.h"

void PrepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  // A file past the size limit fails its write, as a full disk does; the log and the journal go
  // on without it.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::setlocale(LC_TIME, "");
}

std::string CommandLineText(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

namespace {
std::string ExecutablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}
}  // namespace

std::string LogFolder() {
  // systemd lists the folders of LogsDirectory= separated by colons; the first is the log's.
  // An empty first folder names none.
  const char* logs = std::getenv("LOGS_DIRECTORY");
  const std::string first = logs == nullptr ? "" : std::string(logs, std::strcspn(logs, ":"));
  if (!first.empty()) return first.back() == '/' ? first : first + '/';
  const std::string folder = GetFolderPath(ExecutablePath());
  return folder.empty() ? "./" : folder;
}

std::string ExecutableBaseName() {
  return GetBaseName(ExecutablePath());
}

void ShowMessage(const std::string& text) {
  std::fprintf(stderr, "KorvelCaptureServer: %s\n", text.c_str());
}
