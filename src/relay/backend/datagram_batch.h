#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "asio/ip/udp.hpp"

// The datagrams waiting on the event socket, read in as few system calls as the host allows.
class DatagramBatch {
 public:
  static constexpr std::size_t Capacity = 64;
  static constexpr std::size_t MaxDatagram = 65536;

  DatagramBatch() : Buffers(std::make_unique_for_overwrite<char[]>(Capacity * MaxDatagram)) {}

  // Sets the bound socket up for receiving as the host allows: IPv4 multicast on a dual-stack
  // socket as on an IPv4 one, and the count of datagrams the host dropped for want of room in
  // the receive buffer, told with the datagrams it delivers (where it cannot, DroppedByHost stays
  // empty).
  void Prepare(asio::ip::udp::socket& socket);
  std::optional<std::uint64_t> DroppedByHost() const { return HostDrops; }

  // Reads up to Capacity waiting datagrams and returns how many. When none could be read, error
  // tells why (would_block when none was waiting).
  std::size_t Receive(asio::ip::udp::socket& socket, std::error_code& error);

  std::string_view Datagram(std::size_t i) const { return {&Buffers[i * MaxDatagram], Lengths[i]}; }
  const asio::ip::udp::endpoint& Sender(std::size_t i) const { return Senders[i]; }

 private:
  // Capacity slots, left unwritten: only the bytes received are ever read, and zeroing 4 MiB
  // would cost start-up and resident memory for nothing.
  std::unique_ptr<char[]> Buffers;
  std::array<std::size_t, Capacity> Lengths{};
  std::array<asio::ip::udp::endpoint, Capacity> Senders;
  std::optional<std::uint64_t> HostDrops;
  std::uint32_t LastHostCount = 0;  // the host's own count, which wraps
};
