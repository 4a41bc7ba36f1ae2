#pragma once

#include <string>
#include <string_view>
#include <vector>

struct QueryParam {
  std::string Key;
  std::string Value;
};

// Element 0 is always an empty pair; the stored pairs are elements 1..n in query order.
using QueryParams = std::vector<QueryParam>;

// 1-based position of the first Delimiter at or after start, or the text's length + 1.
std::size_t DelimiterPos(std::size_t start, std::string_view text, std::string_view Delimiter);

// Returns the text before the first Delimiter and leaves in text what follows it; without a
// delimiter the whole text is returned and text becomes empty.
std::string CutToken(std::string& text, std::string_view Delimiter);

// The pairs of the query string: the text after the first "?" anywhere in the request, up to the
// first space, CR or LF. No decoding of any kind; pairs with an empty key or value are skipped.
QueryParams ParseQuery(std::string request);

// The value of the last pair whose key matches without regard to case, or "".
std::string GetParam(const QueryParams& params, std::string_view name);
