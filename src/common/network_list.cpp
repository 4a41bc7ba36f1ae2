#include "common/network_list.h"

#include <algorithm>
#include <charconv>

#include "common/string_helpers.h"

namespace {

// The low count bits of a 64-bit half (count 0..64).
std::uint64_t LowBits(int count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// Eight bytes as one big-endian number, written out in full: compilers make that one load and a
// byte swap, where a loop costs a shift and an or per byte, most of a short list's check.
std::uint64_t BigEndian(const std::uint8_t* b) {
  return (std::uint64_t{b[0]} << 56) | (std::uint64_t{b[1]} << 48) | (std::uint64_t{b[2]} << 40) |
         (std::uint64_t{b[3]} << 32) | (std::uint64_t{b[4]} << 24) | (std::uint64_t{b[5]} << 16) |
         (std::uint64_t{b[6]} << 8) | b[7];
}

}  // namespace

NetworkList::Number NetworkList::ToNumber(const NetAddress& address) {
  return {BigEndian(address.Bytes.data()), BigEndian(address.Bytes.data() + 8)};
}

std::optional<NetworkList::Range> NetworkList::ReadNetwork(std::string_view entry) {
  const std::string_view addressText = entry.substr(0, entry.find('/'));
  const auto address = ParseAddress(addressText);
  if (!address) return std::nullopt;
  // The prefix counts from the first bit of the family the address was written in.
  const int width = addressText.find(':') != std::string_view::npos ? 128 : 32;
  int prefix = width;
  if (addressText.size() < entry.size()) {
    const std::string_view digits = entry.substr(addressText.size() + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (error != std::errc() || end != digits.data() + digits.size() || prefix < 0 ||
        prefix > width) {
      return std::nullopt;
    }
  }
  const int hostBits = width - prefix;
  const Number host{LowBits(std::max(hostBits - 64, 0)), LowBits(std::min(hostBits, 64))};
  const Number number = ToNumber(*address);
  return Range{{number.High & ~host.High, number.Low & ~host.Low},
               {number.High | host.High, number.Low | host.Low}};
}

std::optional<NetworkList> NetworkList::Parse(std::string_view text, std::string& problem) {
  if (TrimBlanks(text).empty()) {
    problem = "the list of networks is empty";
    return std::nullopt;
  }
  std::vector<Range> ranges;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = TrimBlanks(text.substr(start, comma - start));
    if (entry.empty()) {
      problem = std::string(1, '\'').append(text).append("' has an empty entry");
      return std::nullopt;
    }
    const auto range = ReadNetwork(entry);
    if (!range) {
      problem = std::string(1, '\'').append(entry).append("' is not an address or network");
      return std::nullopt;
    }
    ranges.push_back(*range);
    start = comma + 1;
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.First < b.First; });
  NetworkList list;
  for (const Range& range : ranges) {
    if (!list.Ranges.empty()) {
      Range& last = list.Ranges.back();
      // The number after last.Last; it wraps to 0 only when last.Last is the greatest, and then
      // range.First <= last.Last holds anyway.
      const Number next{last.Last.High + (last.Last.Low == ~std::uint64_t{0}), last.Last.Low + 1};
      if (range.First <= last.Last || range.First == next) {
        last.Last = std::max(last.Last, range.Last);
        continue;
      }
    }
    list.Ranges.push_back(range);
  }
  return list;
}

bool NetworkList::Contains(const NetAddress& address) const {
  const Number number = ToNumber(address);
  const auto after =
      std::upper_bound(Ranges.begin(), Ranges.end(), number,
                       [](const Number& value, const Range& range) { return value < range.First; });
  return after != Ranges.begin() && number <= std::prev(after)->Last;
}
