#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file of a fixed size mapped into memory for reading and writing: what is written to the
// memory is the file's at once, in the host's cache, and outlives the process (a crash of the
// host loses what the host had not yet written to the disk).
class MappedFile {
 public:
  // Opens the file, created if missing; a shorter file is lengthened with its room taken from
  // the disk at once, so that no write to the memory can later find the disk full. Throws
  // std::system_error.
  MappedFile(const std::string& path, std::size_t size);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  char* Bytes() const { return Data; }

 private:
  std::size_t Size;
  std::intptr_t File = -1;
  std::intptr_t Mapping = 0;
  char* Data = nullptr;
};
