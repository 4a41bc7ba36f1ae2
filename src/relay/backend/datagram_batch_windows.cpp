#include "relay/backend/datagram_batch.h"

// Windows keeps no count of a socket's own dropped datagrams; its UDP statistics
// (GetUdpStatisticsEx's dwInErrors) mix every program's sockets, so nothing is reported. And a
// Windows socket receives only the multicast groups it joined itself, whatever its family.
void DatagramBatch::Prepare(asio::ip::udp::socket& /*socket*/) {}

// One receive per datagram: Windows has no call that takes several at once.
std::size_t DatagramBatch::Receive(asio::ip::udp::socket& socket, std::error_code& error) {
  std::size_t count = 0;
  for (; count < Capacity; ++count) {
    Lengths[count] = socket.receive_from(
        asio::buffer(&Buffers[count * MaxDatagram], MaxDatagram), Senders[count], 0, error);
    if (error) break;
  }
  // What was read is delivered; an error after it shows again at the next read.
  if (count > 0) error.clear();
  return count;
}
