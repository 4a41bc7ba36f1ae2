#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An IPv6 address, or an IPv4 one held in its IPv4-mapped form (::ffff:a.b.c.d), so that one
// comparison and one list serve both families.
struct NetAddress {
  std::array<std::uint8_t, 16> Bytes{};
  friend bool operator==(const NetAddress&, const NetAddress&) = default;
};

NetAddress AddressFromV4(const std::array<std::uint8_t, 4>& bytes);
// Whether the address is IPv4-mapped.
bool IsV4(const NetAddress& address);

// Dotted-decimal IPv4 (four decimal numbers 0..255, without leading zeros, as inet_pton reads
// them) or IPv6 text (RFC 4291: hex groups, one "::" standing for at least one zero group, a
// dotted IPv4 as the last 32 bits). Zone ids ("%eth0") and brackets are refused. IPv4-mapped
// IPv6 text ("::ffff:1.2.3.4") gives the same address as "1.2.3.4".
std::optional<NetAddress> ParseAddress(std::string_view text);

// IPv4-mapped addresses as dotted decimal ("1.2.3.4"), every other one in the canonical text of
// RFC 5952 (lower-case hex without leading zeros, the longest run of two or more zero groups, the
// first on a tie, as "::"). Users match an IPv6 sender by writing this text in a source filter,
// so it is built here rather than by inet_ntop, whose output differs between hosts.
std::string AddressText(const NetAddress& address);
