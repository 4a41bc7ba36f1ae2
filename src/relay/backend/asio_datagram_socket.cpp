#include "relay/backend/asio_datagram_socket.h"

#include "relay/backend/asio_address.h"
#include "relay/backend/dual_stack.h"
#include "relay/backend/exclusive_bind.h"

AsioDatagramSocket::AsioDatagramSocket(asio::io_context& io, EventDelivery& delivery)
    : Socket(io), Delivery(delivery) {}

void AsioDatagramSocket::Bind(std::uint16_t port, bool ipv4Only) {
  OpenOnEveryAddress(Socket, port, ipv4Only, [&] { PrepareExclusiveBind(Socket); });
  Prepare();
}

void AsioDatagramSocket::Adopt(asio::ip::udp::socket::native_handle_type socket) {
  AdoptBound(Socket, socket);
  Prepare();
}

void AsioDatagramSocket::Prepare() {
  Socket.non_blocking(true);
  Batch.Prepare(Socket);
  // A smaller buffer than asked for is no reason to fail, and a larger one, which a service
  // manager may have given the socket to hold what arrives while no relay runs, is kept.
  std::error_code ignored;
  asio::socket_base::receive_buffer_size granted;
  Socket.get_option(granted, ignored);
  if (granted.value() >= ReceiveBufferBytes) return;
  Socket.set_option(asio::socket_base::receive_buffer_size(ReceiveBufferBytes), ignored);
}

void AsioDatagramSocket::Start() {
  WaitReadable();
}

void AsioDatagramSocket::Close() {
  std::error_code ignored;
  Socket.close(ignored);
}

void AsioDatagramSocket::WaitReadable() {
  Socket.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    ReadWaiting();
    WaitReadable();
  });
}

void AsioDatagramSocket::Deliver(std::size_t count, std::uint64_t after) {
  for (Current = 0; Current < count; ++Current) {
    if (Batch.Origin(Current) <= after) continue;
    const auto length = static_cast<long>(Batch.Datagram(Current).size());
    Delivery.Deliver([&] { Delivery.Events().wListen_DataArrival(length); });
  }
}

void AsioDatagramSocket::DeliverLeftOver(std::uint64_t lastOrigin) {
  Deliver(Batch.LeftOver(), lastOrigin);
}

void AsioDatagramSocket::ReadWaiting() {
  for (int batch = 0; batch < MaxBatchesPerWakeup; ++batch) {
    std::error_code error;
    const std::size_t count = Batch.Receive(Socket, error);
    Deliver(count, 0);
    if (error && error != asio::error::would_block && error != asio::error::try_again) {
      ReadError = error;
      Delivery.Deliver([&] { Delivery.Events().wListen_DataArrival(-1); });
      ReadError.clear();
    }
    if (count < DatagramBatch::Capacity) break;
  }
}

std::string_view AsioDatagramSocket::GetData() {
  if (ReadError) throw std::system_error(ReadError);
  return Batch.Datagram(Current);
}

NetAddress AsioDatagramSocket::RemoteAddress() const {
  return ToNetAddress(Batch.Sender(Current).address());
}
