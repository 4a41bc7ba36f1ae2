#include <windows.h>

#include <system_error>

#include "relay/replay/mapped_file.h"

namespace {

[[noreturn]] void Fail(HANDLE file, HANDLE mapping = nullptr) {
  const DWORD error = ::GetLastError();
  if (mapping != nullptr) ::CloseHandle(mapping);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  throw std::system_error(static_cast<int>(error), std::system_category());
}

}  // namespace

MappedFile::MappedFile(const std::string& path, std::size_t size) : Size(size) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(file);
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file, &length)) Fail(file);
  // Setting the end takes the room from the disk now, as a mapping of the new length would.
  if (static_cast<std::size_t>(length.QuadPart) < size) {
    length.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(file, length, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) Fail(file);
  }
  const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (mapping == nullptr) Fail(file);
  void* data = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (data == nullptr) Fail(file, mapping);
  File = reinterpret_cast<std::intptr_t>(file);
  Mapping = reinterpret_cast<std::intptr_t>(mapping);
  Data = static_cast<char*>(data);
}

MappedFile::~MappedFile() {
  ::UnmapViewOfFile(Data);
  ::CloseHandle(reinterpret_cast<HANDLE>(Mapping));
  ::CloseHandle(reinterpret_cast<HANDLE>(File));
}
