// Streaming clients for the scale-out demo: K clients of one address (a load balancer in front of
// several relays) that subscribe, reconnect whenever their connection ends, and note which
// numbered events ("#EV<seq>:" as the demo's source sends them) each one received.
//
//   stream_clients HOST PORT CLIENTS EVENTS <RANGES
//
// RANGES are ranges of events, "FROM TO" lines (TO excluded), read at the start. It prints
// "subscribed N" whenever all CLIENTS stand subscribed again after a change, "received FROM-LAST"
// as soon as every client has received every event of a range, and on SIGINT or SIGTERM one line
// per range: how many clients received every event of it, and the events missed in all.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

volatile std::sig_atomic_t Stop = 0;

struct Client {
  int fd = -1;
  bool subscribed = false;
  std::string pending;
  std::vector<bool> got;
};

struct Range {
  std::size_t from, to;
  bool received = false;
};

const std::string_view Header = "--ABCDEF12345678\r\n";

int Open(const sockaddr_in& address, int poll, std::size_t id) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  epoll_event interest{EPOLLIN | EPOLLOUT, {.u64 = id}};
  epoll_ctl(poll, EPOLL_CTL_ADD, fd, &interest);
  return fd;
}

// Takes every whole event from the client's text and keeps what may be the start of one; counts
// each event's first receipt by this client in receivers.
void Parse(Client& c, std::vector<std::size_t>& receivers) {
  std::string_view text = c.pending;
  if (!c.subscribed) {
    const std::size_t end = text.find(Header);
    if (end == std::string_view::npos) return;
    c.subscribed = true;
    text.remove_prefix(end + Header.size());
  }
  for (std::size_t mark; (mark = text.find("#EV")) != std::string_view::npos;) {
    const std::size_t colon = text.find(':', mark);
    if (colon == std::string_view::npos) break;
    const std::size_t seq = std::strtoul(std::string(text.substr(mark + 3, colon - mark - 3)).c_str(), nullptr, 10);
    if (seq < receivers.size() && !c.got[seq]) {
      c.got[seq] = true;
      ++receivers[seq];
    }
    text.remove_prefix(colon);
  }
  c.pending = std::string(text.substr(text.size() > 64 ? text.size() - 64 : 0));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: stream_clients HOST PORT CLIENTS EVENTS\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  inet_pton(AF_INET, argv[1], &address.sin_addr);
  const auto count = static_cast<std::size_t>(std::atoi(argv[3]));
  const auto events = static_cast<std::size_t>(std::atoi(argv[4]));
  std::signal(SIGINT, [](int) { Stop = 1; });
  std::signal(SIGTERM, [](int) { Stop = 1; });
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<Range> ranges;
  for (std::size_t from, to; std::scanf("%zu %zu", &from, &to) == 2;) ranges.push_back({from, to});

  const int poll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients(count);
  for (std::size_t i = 0; i < count; ++i) {
    clients[i].fd = Open(address, poll, i);
    clients[i].got.assign(events, false);
  }
  std::vector<std::size_t> receivers(events);  // how many clients received each event
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  std::size_t shown = 0;
  std::vector<char> chunk(1 << 16);
  while (!Stop) {
    epoll_event ready[256];
    const int n = epoll_wait(poll, ready, 256, 200);
    for (int k = 0; k < n; ++k) {
      Client& c = clients[ready[k].data.u64];
      if (ready[k].events & EPOLLOUT) {  // connected: ask once, then only read
        ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
        epoll_event interest{EPOLLIN, {.u64 = ready[k].data.u64}};
        epoll_ctl(poll, EPOLL_CTL_MOD, c.fd, &interest);
      }
      const ssize_t got = ::recv(c.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (got > 0) {
        c.pending.append(chunk.data(), static_cast<std::size_t>(got));
        Parse(c, receivers);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        ::close(c.fd);  // its relay went away: through the balancer again
        c.subscribed = false;
        c.pending.clear();
        c.fd = Open(address, poll, ready[k].data.u64);
      }
    }
    std::size_t subscribed = 0;
    for (const Client& c : clients) subscribed += c.subscribed;
    if (subscribed != shown && (subscribed == count || shown == count)) {
      std::printf("subscribed %zu\n", subscribed);
      std::fflush(stdout);
    }
    shown = subscribed;
    for (Range& r : ranges) {
      if (r.received) continue;
      const std::size_t last = std::min(r.to, events), first = std::min(r.from, last);
      r.received = std::all_of(receivers.begin() + static_cast<std::ptrdiff_t>(first),
                               receivers.begin() + static_cast<std::ptrdiff_t>(last),
                               [&](std::size_t n) { return n == count; });
      if (r.received) {
        std::printf("received %zu-%zu\n", r.from, r.to - 1);
        std::fflush(stdout);
      }
    }
  }
  for (const auto& [from, to, received] : ranges) {
    std::size_t complete = 0, missed = 0;
    for (const Client& c : clients) {
      std::size_t lost = 0;
      for (std::size_t s = from; s < to && s < events; ++s) lost += !c.got[s];
      complete += lost == 0;
      missed += lost;
    }
    std::printf("events %zu-%zu: %zu of %zu clients received every one; %zu deliveries missed\n",
                from, to - 1, complete, count, missed);
  }
  return 0;
}
