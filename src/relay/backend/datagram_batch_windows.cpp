#include "relay/backend/datagram_batch.h"

// No service manager hands a socket over here, so no run ever takes up what another received:
// the region holds the batch's number alone besides the datagrams.
struct DatagramBatch::State {
  std::uint64_t Number;
};

std::uint64_t DatagramBatch::Number() const { return Shared().Number; }

void DatagramBatch::Clear(std::uint64_t number) { Shared().Number = number; }

void DatagramBatch::ReceiveInto(char* region, std::uint64_t lastOrigin, bool /*keepLeftOver*/) {
  Region = region;
  OwnRegion.reset();
  Clear(lastOrigin / Capacity + 1);
}

std::size_t DatagramBatch::LeftOver() { return 0; }

// Windows keeps no count of a socket's own dropped datagrams; its UDP statistics
// (GetUdpStatisticsEx's dwInErrors) mix every program's sockets, so nothing is reported. And a
// Windows socket receives only the multicast groups it joined itself, whatever its family.
void DatagramBatch::Prepare(asio::ip::udp::socket& /*socket*/) {}

// One receive per datagram: Windows has no call that takes several at once.
std::size_t DatagramBatch::Receive(asio::ip::udp::socket& socket, std::error_code& error) {
  ++Shared().Number;
  std::size_t count = 0;
  for (; count < Capacity; ++count) {
    Lengths[count] = socket.receive_from(
        asio::buffer(Region + StateBytes + count * MaxDatagram, MaxDatagram), Senders[count], 0,
        error);
    if (error) break;
  }
  // What was read is delivered; an error after it shows again at the next read.
  if (count > 0) error.clear();
  return count;
}
