#include "relay/asio_datagram_socket.h"

AsioDatagramSocket::AsioDatagramSocket(asio::io_context& io, EventDelivery& delivery)
    : Socket(io), Delivery(delivery), Datagram(MaxDatagram) {}

void AsioDatagramSocket::Bind(std::uint16_t port) {
  // No address reuse: a second program bound to the event port must make this fail.
  const asio::ip::udp::endpoint endpoint(asio::ip::udp::v4(), port);
  Socket.open(endpoint.protocol());
  Socket.bind(endpoint);
  Socket.non_blocking(true);
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

void AsioDatagramSocket::ReadWaiting() {
  for (int i = 0; i < MaxDatagramsPerWakeup; ++i) {
    DatagramLength = Socket.receive_from(asio::buffer(Datagram), Sender, 0, ReadError);
    if (ReadError == asio::error::would_block || ReadError == asio::error::try_again) break;
    if (ReadError) DatagramLength = 0;
    Delivery.Deliver(
        [&] { Delivery.Events().wListen_DataArrival(static_cast<long>(DatagramLength)); });
    if (ReadError) break;
  }
  Delivery.FlushPendingWrites();
}

std::string AsioDatagramSocket::GetData() {
  if (ReadError) throw std::system_error(ReadError);
  return std::string(Datagram.data(), DatagramLength);
}

std::string AsioDatagramSocket::RemoteHostIP() const {
  return Sender.address().to_string();
}
