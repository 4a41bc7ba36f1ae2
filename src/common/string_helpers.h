#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Splits Text at every Delimiter. Element 0 is always the empty text; the pieces proper are
// elements 1..n. Empty pieces between adjacent delimiters (or before a leading one) stay; a
// delimiter at the very end adds no piece. Delimiter must not be empty.
std::vector<std::string> SplitString(std::string_view Text, std::string_view Delimiter);

// Reads Text as a decimal number (sign, digits, optional fraction and exponent, blanks around it)
// rounded half to even; gives Default unless the result lies in Min..Max (both inclusive).
std::int32_t NumberInRange(std::string_view Text, std::int32_t Min, std::int32_t Max,
                           std::int32_t Default);

// ASCII-only lower case: bytes outside A-Z pass unchanged, so any 8-bit text survives.
std::string LowerCase(std::string_view text);

// Removes blanks (spaces and tabs) at both ends.
std::string_view TrimBlanks(std::string_view text);
