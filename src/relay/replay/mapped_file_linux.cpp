#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "relay/replay/mapped_file.h"

namespace {

[[noreturn]] void Fail(int error, int file) {
  if (file >= 0) ::close(file);
  throw std::system_error(error, std::generic_category());
}

}  // namespace

MappedFile::MappedFile(const std::string& path, std::size_t size) : Size(size) {
  const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (file < 0) Fail(errno, file);
  struct stat status {};
  if (::fstat(file, &status) != 0) Fail(errno, file);
  if (static_cast<std::size_t>(status.st_size) < size) {
    if (const int error = ::posix_fallocate(file, 0, static_cast<off_t>(size))) Fail(error, file);
  }
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
  if (data == MAP_FAILED) Fail(errno, file);
  File = file;
  Data = static_cast<char*>(data);
}

MappedFile::~MappedFile() {
  ::munmap(Data, Size);
  ::close(static_cast<int>(File));
}
