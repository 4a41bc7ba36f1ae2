#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "asio/io_context.hpp"
#include "asio/ip/udp.hpp"
#include "relay/backend/datagram_batch.h"
#include "relay/backend/event_delivery.h"
#include "relay/core/socket_control.h"

// wListen over Asio: one DataArrival per datagram. When the socket becomes readable, the
// datagrams already waiting are handed over one after another in the same handler, so the parts
// they produce leave together at the flush that follows it: a burst of events costs few writes
// per client.
class AsioDatagramSocket final : public DatagramSocket {
 public:
  // Room for bursts, so that the kernel does not drop them while the relay writes; the host may
  // grant less.
  static constexpr int ReceiveBufferBytes = 8 << 20;
  static constexpr int MaxBatchesPerWakeup = 4;

  AsioDatagramSocket(asio::io_context& io, EventDelivery& delivery);

  // Binds to the port on every local address, of both families where the host has IPv6 (unless
  // ipv4Only), of IPv4 alone where it has not; throws std::system_error.
  void Bind(std::uint16_t port, bool ipv4Only);
  // Serves on a socket already bound, as a service manager hands it over.
  void Adopt(asio::ip::udp::socket::native_handle_type socket);
  // Reads into a region that outlives the process (see DatagramBatch::ReceiveInto).
  void ReceiveInto(char* region, std::uint64_t lastOrigin, bool keepLeftOver) {
    Batch.ReceiveInto(region, lastOrigin, keepLeftOver);
  }
  // Hands over the datagrams that the last run received into the region after lastOrigin's, and
  // so never wrote to its journal, before any new one.
  void DeliverLeftOver(std::uint64_t lastOrigin);
  void Start();
  void Close();

  std::string_view GetData() override;
  std::string RemoteHost() const override { return RemoteHostIP(); }
  std::string RemoteHostIP() const override { return AddressText(RemoteAddress()); }
  NetAddress RemoteAddress() const override;
  int RemotePort() const override { return Batch.Sender(Current).port(); }
  std::optional<std::uint64_t> DroppedByHost() const override { return Batch.DroppedByHost(); }
  std::uint64_t Origin() const override { return Batch.Origin(Current); }

 private:
  void Prepare();
  void WaitReadable();
  void ReadWaiting();
  void Deliver(std::size_t count, std::uint64_t after);

  asio::ip::udp::socket Socket;
  EventDelivery& Delivery;
  DatagramBatch Batch;
  std::size_t Current = 0;  // the datagram being delivered
  std::error_code ReadError;
};
