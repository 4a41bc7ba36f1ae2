#include "common/string_helpers.h"

#include <charconv>
#include <cmath>
#include <limits>

std::vector<std::string> SplitString(std::string_view Text, std::string_view Delimiter) {
  std::vector<std::string> Pieces(1);
  std::size_t pos = 0;
  while (pos < Text.size()) {
    const std::size_t found = Text.find(Delimiter, pos);
    if (found == std::string_view::npos) {
      Pieces.emplace_back(Text.substr(pos));
      break;
    }
    Pieces.emplace_back(Text.substr(pos, found - pos));
    pos = found + Delimiter.size();
  }
  return Pieces;
}

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
  return pos;
}

// True when text is [sign] digits [. digits] [e [sign] digits] with at least one mantissa digit.
bool IsPlainNumber(std::string_view text) {
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  const std::size_t integerEnd = SkipDigits(text, pos);
  std::size_t mantissaDigits = integerEnd - pos;
  pos = integerEnd;
  if (pos < text.size() && text[pos] == '.') {
    const std::size_t fractionEnd = SkipDigits(text, pos + 1);
    mantissaDigits += fractionEnd - pos - 1;
    pos = fractionEnd;
  }
  if (mantissaDigits == 0) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::size_t exponentEnd = SkipDigits(text, pos);
    if (exponentEnd == pos) return false;
    pos = exponentEnd;
  }
  return pos == text.size();
}

}  // namespace

std::int32_t NumberInRange(std::string_view Text, std::int32_t Min, std::int32_t Max,
                           std::int32_t Default) {
  std::string_view text = TrimBlanks(Text);
  if (!IsPlainNumber(text)) return Default;
  if (text.front() == '+') text.remove_prefix(1);  // from_chars takes no leading plus
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return Default;
  // nearbyint honours the default round-to-nearest mode, which breaks ties to the even neighbour.
  const double rounded = std::nearbyint(value);
  if (rounded < std::numeric_limits<std::int32_t>::min() ||
      rounded > std::numeric_limits<std::int32_t>::max()) {
    return Default;
  }
  const auto number = static_cast<std::int32_t>(rounded);
  return (number >= Min && number <= Max) ? number : Default;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}
