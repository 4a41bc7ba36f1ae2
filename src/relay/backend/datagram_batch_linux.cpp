#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "relay/backend/datagram_batch.h"

namespace {

// Room for the one control message the receive asks for: the host's drop count.
struct alignas(cmsghdr) DropCountSpace {
  unsigned char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
};

constexpr std::uint64_t RegionMagic = 0x314843544142564Bu;  // "KVBATCH1"
// A slot's length before the host writes one: no datagram is this long.
constexpr unsigned Unfilled = ~0u;

}  // namespace

// The messages the host fills in, lengths and senders included, and the batch's number.
struct DatagramBatch::State {
  std::uint64_t Magic;
  std::uint64_t Number;
  std::array<mmsghdr, Capacity> Messages;
  std::array<sockaddr_storage, Capacity> Names;
};
std::uint64_t DatagramBatch::Number() const { return Shared().Number; }

void DatagramBatch::Clear(std::uint64_t number) {
  static_assert(sizeof(State) <= StateBytes);
  State& state = Shared();
  std::memset(&state, 0, sizeof state);
  for (mmsghdr& message : state.Messages) message.msg_len = Unfilled;
  state.Number = number;
  state.Magic = RegionMagic;
}

void DatagramBatch::ReceiveInto(char* region, std::uint64_t lastOrigin, bool keepLeftOver) {
  Region = region;
  OwnRegion.reset();
  const bool valid = Shared().Magic == RegionMagic;
  // Numbers go on past the journal's, so that origins keep growing whatever became of the region.
  const std::uint64_t number = std::max(valid ? Number() : 0, lastOrigin / Capacity + 1);
  if (!valid || !keepLeftOver) Clear(number);
}

std::size_t DatagramBatch::LeftOver() {
  const State& state = Shared();
  std::size_t count = 0;
  for (; count < Capacity && state.Messages[count].msg_len != Unfilled; ++count) {
    Lengths[count] = std::min<std::size_t>(state.Messages[count].msg_len, MaxDatagram);
    const socklen_t length = std::min<socklen_t>(state.Messages[count].msg_hdr.msg_namelen,
                                                 static_cast<socklen_t>(Senders[count].capacity()));
    std::memcpy(Senders[count].data(), &state.Names[count], length);
    Senders[count].resize(length);
  }
  return count;
}

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
  State& state = Shared();
  std::array<iovec, Capacity> slots{};
  std::array<DropCountSpace, Capacity> controls;
  // The lengths are marked unfilled before the number moves on: a process that dies in between
  // leaves an empty batch, never the last one's datagrams under the new number.
  for (std::size_t i = 0; i < Capacity; ++i) {
    mmsghdr& message = state.Messages[i];
    message = {};
    message.msg_len = Unfilled;
    if (HostDrops) {
      message.msg_hdr.msg_control = controls[i].bytes;
      message.msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    slots[i] = {Region + StateBytes + i * MaxDatagram, MaxDatagram};
    message.msg_hdr.msg_iov = &slots[i];
    message.msg_hdr.msg_iovlen = 1;
    message.msg_hdr.msg_name = &state.Names[i];
    message.msg_hdr.msg_namelen = sizeof state.Names[i];
  }
  ++state.Number;
  int count;
  do {
    count = ::recvmmsg(socket.native_handle(), state.Messages.data(), Capacity, MSG_DONTWAIT,
                       nullptr);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    error = std::error_code(errno, asio::error::get_system_category());
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    const mmsghdr& message = state.Messages[static_cast<std::size_t>(i)];
    Lengths[i] = message.msg_len;
    std::memcpy(Senders[i].data(), &state.Names[i], message.msg_hdr.msg_namelen);
    Senders[i].resize(message.msg_hdr.msg_namelen);
  }
  // Each datagram carries the count as it stood when it was queued; the last one's is the newest.
  // The host only sends it once something was dropped.
  if (HostDrops && count > 0) {
    msghdr& last = state.Messages[static_cast<std::size_t>(count) - 1].msg_hdr;
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
