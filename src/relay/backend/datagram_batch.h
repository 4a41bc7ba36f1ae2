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
//
// They are read into a region of memory: the batch's own, or with a journal a file's, which
// outlives the process. The host writes each datagram and its length there before the read
// returns, so a relay that is killed between reading datagrams and writing them to the journal
// leaves them to the next run, which tells by their origins which ones the journal lacks.
class DatagramBatch {
 public:
  static constexpr std::size_t Capacity = 64;
  static constexpr std::size_t MaxDatagram = 65536;
  // The host's bookkeeping, then the datagrams' slots.
  static constexpr std::size_t StateBytes = 65536;
  static constexpr std::size_t RegionBytes = StateBytes + Capacity * MaxDatagram;

  DatagramBatch()
      : OwnRegion(std::make_unique_for_overwrite<char[]>(RegionBytes)), Region(OwnRegion.get()) {
    Clear(0);
  }
  // Reads into a region that outlives the process, numbering batches past lastOrigin's. With
  // keepLeftOver, what the region holds from the last read is kept for LeftOver; else it is
  // cleared (it came from another socket, or is already in the journal).
  void ReceiveInto(char* region, std::uint64_t lastOrigin, bool keepLeftOver);
  // The datagrams of the last read that the region holds, made the batch's own; 0 where the
  // host cannot tell.
  std::size_t LeftOver();
  // The origin of datagram i: its batch's number times Capacity plus i plus 1.
  std::uint64_t Origin(std::size_t i) const { return Number() * Capacity + i + 1; }

  // Sets the bound socket up for receiving as the host allows: IPv4 multicast on a dual-stack
  // socket as on an IPv4 one, and the count of datagrams the host dropped for want of room in
  // the receive buffer, told with the datagrams it delivers (where it cannot, DroppedByHost stays
  // empty).
  void Prepare(asio::ip::udp::socket& socket);
  std::optional<std::uint64_t> DroppedByHost() const { return HostDrops; }

  // Reads up to Capacity waiting datagrams and returns how many. When none could be read, error
  // tells why (would_block when none was waiting).
  std::size_t Receive(asio::ip::udp::socket& socket, std::error_code& error);

  std::string_view Datagram(std::size_t i) const {
    return {Region + StateBytes + i * MaxDatagram, Lengths[i]};
  }
  const asio::ip::udp::endpoint& Sender(std::size_t i) const { return Senders[i]; }

 private:
  struct State;
  State& Shared() const { return *reinterpret_cast<State*>(Region); }
  std::uint64_t Number() const;
  void Clear(std::uint64_t number);

  // The batch's own region, left unwritten past the bookkeeping: only the bytes received are
  // ever read, and zeroing 4 MiB would cost start-up and resident memory for nothing.
  std::unique_ptr<char[]> OwnRegion;
  char* Region;
  std::array<std::size_t, Capacity> Lengths{};
  std::array<asio::ip::udp::endpoint, Capacity> Senders;
  std::optional<std::uint64_t> HostDrops;
  std::uint32_t LastHostCount = 0;  // the host's own count, which wraps
};
