#include "common/net_address.h"

namespace {

constexpr std::size_t V4Start = 12;  // where the IPv4 bytes sit in a mapped address
constexpr std::size_t Groups = 8;

std::optional<std::uint8_t> ReadDecimalByte(std::string_view text) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::optional<std::array<std::uint8_t, 4>> ParseV4(std::string_view text) {
  std::array<std::uint8_t, 4> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool last = i + 1 == bytes.size();
    const std::size_t end = last ? text.size() : text.find('.');
    if (end == std::string_view::npos) return std::nullopt;
    const auto byte = ReadDecimalByte(text.substr(0, end));
    if (!byte) return std::nullopt;
    bytes[i] = *byte;
    if (!last) text.remove_prefix(end + 1);
  }
  return bytes;
}

std::optional<std::uint16_t> ReadHexGroup(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return static_cast<std::uint16_t>(value);
}

struct GroupList {
  std::array<std::uint16_t, Groups> Values{};
  std::size_t Count = 0;
};

// Reads "g:g:...:g" (nothing at all is no groups). Only the groups after the "::", or the whole
// address when it has none, may end in a dotted IPv4, since that fills the last 32 bits.
bool ReadGroups(std::string_view text, bool mayEndInV4, GroupList& groups) {
  while (!text.empty()) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    if (colon == std::string_view::npos && mayEndInV4 &&
        piece.find('.') != std::string_view::npos) {
      const auto v4 = ParseV4(piece);
      if (!v4 || groups.Count + 2 > Groups) return false;
      groups.Values[groups.Count++] = static_cast<std::uint16_t>(((*v4)[0] << 8) | (*v4)[1]);
      groups.Values[groups.Count++] = static_cast<std::uint16_t>(((*v4)[2] << 8) | (*v4)[3]);
      return true;
    }
    const auto group = ReadHexGroup(piece);
    if (!group || groups.Count == Groups) return false;
    groups.Values[groups.Count++] = *group;
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
    if (text.empty()) return false;  // a trailing ':'
  }
  return true;
}

std::optional<NetAddress> ParseV6(std::string_view text) {
  GroupList head;
  GroupList tail;
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!ReadGroups(text, true, tail) || tail.Count != Groups) return std::nullopt;
  } else if (!ReadGroups(text.substr(0, gap), false, head) ||
             !ReadGroups(text.substr(gap + 2), true, tail) || head.Count + tail.Count >= Groups) {
    // "::" stands for at least one zero group; a second "::" shows up as an empty group.
    return std::nullopt;
  }
  NetAddress address;
  const auto put = [&address](std::size_t index, std::uint16_t group) {
    address.Bytes[2 * index] = static_cast<std::uint8_t>(group >> 8);
    address.Bytes[2 * index + 1] = static_cast<std::uint8_t>(group);
  };
  for (std::size_t i = 0; i < head.Count; ++i) put(i, head.Values[i]);
  for (std::size_t i = 0; i < tail.Count; ++i) put(Groups - tail.Count + i, tail.Values[i]);
  return address;
}

// Per datagram when a source filter asks for it, so the digits are built by hand.
std::string V4Text(const NetAddress& address) {
  char text[15];
  std::size_t size = 0;
  for (std::size_t i = V4Start; i < address.Bytes.size(); ++i) {
    if (i > V4Start) text[size++] = '.';
    const unsigned byte = address.Bytes[i];
    if (byte >= 100) text[size++] = static_cast<char>('0' + byte / 100);
    if (byte >= 10) text[size++] = static_cast<char>('0' + byte / 10 % 10);
    text[size++] = static_cast<char>('0' + byte % 10);
  }
  return std::string(text, size);
}

std::string V6Text(const NetAddress& address) {
  std::array<unsigned, Groups> groups{};
  for (std::size_t i = 0; i < Groups; ++i) {
    groups[i] = static_cast<unsigned>((address.Bytes[2 * i] << 8) | address.Bytes[2 * i + 1]);
  }
  std::size_t runStart = Groups;
  std::size_t runLength = 1;  // a lone zero group is written out
  for (std::size_t i = 0; i < Groups; ++i) {
    if (groups[i] != 0) continue;
    std::size_t end = i + 1;
    while (end < Groups && groups[end] == 0) ++end;
    if (end - i > runLength) {
      runStart = i;
      runLength = end - i;
    }
    i = end;  // groups[end], if any, is not zero
  }
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(39);  // eight groups of four and their colons
  for (std::size_t i = 0; i < Groups; ++i) {
    if (i == runStart) {
      text += "::";
      i += runLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    for (int shift = 12; shift >= 0; shift -= 4) {
      if ((groups[i] >> shift) != 0 || shift == 0) text += Hex[(groups[i] >> shift) & 0xf];
    }
  }
  return text;
}

}  // namespace

NetAddress AddressFromV4(const std::array<std::uint8_t, 4>& bytes) {
  NetAddress address;
  address.Bytes[10] = 0xff;
  address.Bytes[11] = 0xff;
  for (std::size_t i = 0; i < bytes.size(); ++i) address.Bytes[V4Start + i] = bytes[i];
  return address;
}

bool IsV4(const NetAddress& address) {
  for (std::size_t i = 0; i < 10; ++i) {
    if (address.Bytes[i] != 0) return false;
  }
  return address.Bytes[10] == 0xff && address.Bytes[11] == 0xff;
}

std::optional<NetAddress> ParseAddress(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return ParseV6(text);
  const auto v4 = ParseV4(text);
  if (!v4) return std::nullopt;
  return AddressFromV4(*v4);
}

std::string AddressText(const NetAddress& address) {
  return IsV4(address) ? V4Text(address) : V6Text(address);
}
