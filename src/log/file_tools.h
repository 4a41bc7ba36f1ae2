#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The file operations the Logger needs. Failures are thrown as std::system_error.
class FileTools {
 public:
  virtual ~FileTools() = default;
  // Appends text at the end of the file, creating it when missing; returns its length afterwards.
  // Leaves in written how many bytes of text reached the file, also when it throws: a full disk
  // can take the first part of the text and refuse the rest.
  virtual std::int64_t AppendToFile(const std::string& path, std::string_view text,
                                    std::size_t& written) = 0;
  // Moves the file to newPath, replacing whatever is there.
  virtual void RenameFile(const std::string& path, const std::string& newPath) = 0;
};

std::unique_ptr<FileTools> MakeHostFileTools();
