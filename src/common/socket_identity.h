#pragma once

#include <cstdint>

// Which socket a program serves on, as one run of it can tell the next: a socket that a service
// manager holds outlives the relay, and while the same socket lives on, nothing that arrived on it
// can have been lost between two runs.
struct SocketIdentity {
  std::uint64_t BootSeconds = 0;  // when the host booted, on its clock
  std::uint64_t Socket = 0;       // the socket within the boot; 0: none that a later run can have

  bool Known() const { return Socket != 0; }
  // The boot's time is read from two clocks and may differ by a second from one run to the next.
  bool operator==(const SocketIdentity& other) const {
    const std::uint64_t apart = BootSeconds > other.BootSeconds ? BootSeconds - other.BootSeconds
                                                                : other.BootSeconds - BootSeconds;
    return Known() && Socket == other.Socket && apart <= 2;
  }
};
