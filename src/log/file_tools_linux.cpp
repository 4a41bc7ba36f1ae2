#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "log/file_tools.h"

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

class PosixFileTools final : public FileTools {
 public:
  std::int64_t AppendToFile(const std::string& path, std::string_view text,
                            std::size_t& written) override {
    written = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) ThrowErrno(path);
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    while (written < text.size()) {
      const ssize_t now = ::write(fd, text.data() + written, text.size() - written);
      if (now < 0) {
        if (errno == EINTR) continue;
        ThrowErrno(path);
      }
      written += static_cast<std::size_t>(now);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) ThrowErrno(path);
    return status.st_size;
  }

  void RenameFile(const std::string& path, const std::string& newPath) override {
    // A file that is not there has nothing to move aside: the next append starts a new file,
    // which is all a rotation has to achieve.
    if (std::rename(path.c_str(), newPath.c_str()) != 0 && errno != ENOENT) ThrowErrno(path);
  }
};

}  // namespace

std::unique_ptr<FileTools> MakeHostFileTools() {
  return std::make_unique<PosixFileTools>();
}
