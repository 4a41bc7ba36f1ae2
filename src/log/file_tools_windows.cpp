#include <windows.h>

#include <algorithm>
#include <system_error>

#include "log/file_tools.h"

namespace {

[[noreturn]] void ThrowLastError(const std::string& what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

class WindowsFileTools final : public FileTools {
 public:
  std::int64_t AppendToFile(const std::string& path, std::string_view text,
                            std::size_t& written) override {
    written = 0;
    // Shared for deleting too, so that a rotation by another handle is never refused.
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) ThrowLastError(path);
    struct Closer {
      HANDLE file;
      ~Closer() { CloseHandle(file); }
    } closer{file};
    while (written < text.size()) {
      DWORD now = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - written, 1u << 30));
      const BOOL done = WriteFile(file, text.data() + written, chunk, &now, nullptr);
      written += now;  // counted before the check: what a failing call reports is in the file
      if (!done) ThrowLastError(path);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) ThrowLastError(path);
    return size.QuadPart;
  }

  void RenameFile(const std::string& path, const std::string& newPath) override {
    // As on every host: a file that is not there has nothing to move aside.
    if (!MoveFileExA(path.c_str(), newPath.c_str(), MOVEFILE_REPLACE_EXISTING) &&
        GetLastError() != ERROR_FILE_NOT_FOUND) {
      ThrowLastError(path);
    }
  }
};

}  // namespace

std::unique_ptr<FileTools> MakeHostFileTools() {
  return std::make_unique<WindowsFileTools>();
}
