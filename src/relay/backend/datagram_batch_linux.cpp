#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "relay/backend/datagram_batch.h"

namespace {

// Room for the one control message the receive asks for: the host's drop count.
struct alignas(cmsghdr) DropCountSpace {
  unsigned char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
};

}  // namespace

void DatagramBatch::Prepare(asio::ip::udp::socket& socket) {
  const int on = 1;
  // An IPv4 socket takes the datagrams of every group the host joined (smcroute's, say); an IPv6
  // one only those of groups it joined itself, unless asked, also for IPv4 groups.
  ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &on, sizeof on);
  if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0) {
    HostDrops = 0;
  }
}

std::size_t DatagramBatch::Receive(asio::ip::udp::socket& socket, std::error_code& error) {
  std::array<mmsghdr, Capacity> messages{};
  std::array<iovec, Capacity> slots{};
  std::array<DropCountSpace, Capacity> controls;
  for (std::size_t i = 0; i < Capacity; ++i) {
    if (HostDrops) {
      messages[i].msg_hdr.msg_control = controls[i].bytes;
      messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
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
  // Each datagram carries the count as it stood when it was queued; the last one's is the newest.
  // The host only sends it once something was dropped.
  if (HostDrops && count > 0) {
    msghdr& last = messages[static_cast<std::size_t>(count) - 1].msg_hdr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&last); c != nullptr; c = CMSG_NXTHDR(&last, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
      std::uint32_t hostCount;
      std::memcpy(&hostCount, CMSG_DATA(c), sizeof hostCount);
      *HostDrops += static_cast<std::uint32_t>(hostCount - LastHostCount);
      LastHostCount = hostCount;
    }
  }
  error.clear();
  return static_cast<std::size_t>(count);
}
