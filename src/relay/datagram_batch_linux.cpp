#include <sys/socket.h>

#include <cerrno>

#include "relay/datagram_batch.h"

std::size_t DatagramBatch::Receive(asio::ip::udp::socket& socket, std::error_code& error) {
  std::array<mmsghdr, Capacity> messages{};
  std::array<iovec, Capacity> slots{};
  for (std::size_t i = 0; i < Capacity; ++i) {
    slots[i] = {&Buffers[i * MaxDatagram], MaxDatagram};
    messages[i].msg_hdr.msg_iov = &slots[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = Senders[i].data();
    messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(Senders[i].capacity());
  }
  int count;
  do {
    count = ::recvmmsg(socket.native_handle(), messages.data(), Capacity, MSG_DONTWAIT, nullptr);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    error = std::error_code(errno, asio::error::get_system_category());
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    Lengths[i] = messages[i].msg_len;
    Senders[i].resize(messages[i].msg_hdr.msg_namelen);
  }
  error.clear();
  return static_cast<std::size_t>(count);
}
