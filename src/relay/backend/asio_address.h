#pragma once

#include "asio/ip/address.hpp"
#include "common/net_address.h"

// A dual-stack socket reports IPv4 peers in their mapped IPv6 form, which NetAddress already
// uses, so both families convert the same way.
inline NetAddress ToNetAddress(const asio::ip::address& address) {
  if (address.is_v4()) return AddressFromV4(address.to_v4().to_bytes());
  return NetAddress{address.to_v6().to_bytes()};
}
