#pragma once

#include <string>
#include <string_view>

// Path splitting. Both "/" and "\" count as folder separators, so a path written for either
// host splits the same way.

// The folder part including its trailing separator ("" when the path has no folder).
std::string GetFolderPath(std::string_view path);
// The file name without its extension and without the dot before it.
std::string GetBaseName(std::string_view path);
// The extension of the file name without its dot ("" when the name has no dot).
std::string GetExtension(std::string_view path);
