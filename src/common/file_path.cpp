#include "common/file_path.h"

namespace {

std::size_t FileNameStart(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

std::string_view FileName(std::string_view path) {
  return path.substr(FileNameStart(path));
}

}  // namespace

std::string GetFolderPath(std::string_view path) {
  return std::string(path.substr(0, FileNameStart(path)));
}

std::string GetBaseName(std::string_view path) {
  const std::string_view name = FileName(path);
  return std::string(name.substr(0, name.rfind('.')));
}

std::string GetExtension(std::string_view path) {
  const std::string_view name = FileName(path);
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}
