#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/net_address.h"

// Networks an address may come from, for the relay's allow-lists. Checking an address costs a
// binary search over the list's merged ranges: it does not grow with the number of clients and
// only with the logarithm of the list's length.
class NetworkList {
 public:
  // Reads a comma-separated list of networks, blanks around each allowed: an address alone (one
  // host) or address/prefix (CIDR; 0..32 after an IPv4 address, 0..128 after IPv6 text). An IPv4
  // network covers its IPv4-mapped range, so "::ffff:0:0/96" and "0.0.0.0/0" both mean every
  // IPv4 address, and "::/0" means everything. Bits set below the prefix ("10.1.2.3/8") are
  // ignored, so that a network may be written from any of its hosts. On a problem gives nullopt
  // and sets problem to a one-line message naming the entry, or the whole list when the list or
  // one of its entries is empty.
  static std::optional<NetworkList> Parse(std::string_view text, std::string& problem);
  bool Contains(const NetAddress& address) const;

 private:
  // An address as a 128-bit number, high half first, so that the defaulted order is numeric.
  struct Number {
    std::uint64_t High = 0;
    std::uint64_t Low = 0;
    friend auto operator<=>(const Number&, const Number&) = default;
  };
  struct Range {
    Number First;
    Number Last;
  };

  static Number ToNumber(const NetAddress& address);
  static std::optional<Range> ReadNetwork(std::string_view entry);

  std::vector<Range> Ranges;  // sorted, and apart: neither overlapping nor adjacent
};
