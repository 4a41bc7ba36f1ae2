// Streaming clients for the scale-out demo: clients of one address (a load balancer in front of
// several relays), some asking for the multipart stream and some for Server-Sent Events. A
// multipart client reconnects at once whenever its connection ends. An SSE client behaves as a
// browser's EventSource does: it waits the retry time the relay last gave, then reconnects with
// Last-Event-ID set to the last id it received, so that the relay it lands on can fill the gap.
//
//   stream_clients HOST PORT MULTIPART SSE [TAGS]
//
// TAGS are the letters of the demo's sources whose events the clients check. A source sends
// "#<TAG><place>" at each place of its sequence, from 0, or now and then a text of its own that
// it repeats unchanged ("#<TAG> heartbeat"), which a client puts at the place after the last one
// it received from that source. Every client checks each event's place against what it received
// before: nothing twice, nothing out of order. Once the sources have stopped, SIGUSR1 has the
// clients read standard input, which then says how many places each source sent ("A:8400
// B:7000"), and with that, whether anything is missing.
//
// It prints "subscribed N" whenever all clients stand subscribed again after a change, or stop
// being so; "done" once every client has received the last place of every source; "notice TEXT"
// for each "missed" event an SSE client receives; and on SIGINT or SIGTERM one line per kind of
// client: its connections, and the events missed, received twice or out of order.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <queue>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t Stop = 0, SentKnown = 0;

// What one client received of one source.
struct Received {
  std::vector<bool> got;  // by place
  std::size_t next = 0;   // one past the furthest place received
};

struct Client {
  bool sse = false;
  int fd = -1;
  bool subscribed = false;
  bool done = false;
  std::string pending;  // received bytes not yet taken as a whole part or event
  std::string lastId;
  int retryMs = 1000;  // what the demo's relays send first; a browser starts with its own
  std::vector<Received> sources;
  std::size_t connections = 0, twice = 0, outOfOrder = 0, notices = 0;
};

constexpr std::string_view Boundary = "\r\n--ABCDEF12345678\r\n";

// The "text" member of an event's data as it stands in the JSON: the demo's texts need no escape.
std::string_view JsonText(std::string_view data) {
  constexpr std::string_view Key = "\"text\":\"";
  const std::size_t start = data.find(Key);
  if (start == std::string_view::npos) return {};
  data.remove_prefix(start + Key.size());
  return data.substr(0, data.find('"'));
}

class Crowd {
 public:
  Crowd(const sockaddr_in& address, std::size_t multipart, std::size_t sse, std::string tags)
      : Address(address),
        Tags(std::move(tags)),
        Clients(multipart + sse),
        Poll(epoll_create1(EPOLL_CLOEXEC)) {
    for (std::size_t i = 0; i < Clients.size(); ++i) {
      Client& c = Clients[i];
      c.sse = i >= multipart;
      c.sources.resize(Tags.size());
      Open(i);
    }
  }

  void Run() {
    std::size_t shown = 0;
    bool doneShown = false;
    std::vector<char> chunk(1 << 16);
    while (!Stop) {
      int timeout = 200;
      if (!Reconnects.empty()) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(Reconnects.top().first - Clock::now());
        timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, timeout));
      }
      epoll_event ready[256];
      const int n = epoll_wait(Poll, ready, 256, timeout);
      for (int k = 0; k < n; ++k) Serve(ready[k], chunk);
      if (SentKnown && !SentRead) ReadSent();
      while (!Reconnects.empty() && Reconnects.top().first <= Clock::now()) {
        Open(Reconnects.top().second);
        Reconnects.pop();
      }
      if (Subscribed != shown && (Subscribed == Clients.size() || shown == Clients.size())) {
        std::printf("subscribed %zu\n", Subscribed);
      }
      shown = Subscribed;
      if (!doneShown && Done == Clients.size()) {
        std::printf("done\n");
        doneShown = true;
      }
    }
  }

  void Report() const {
    for (const bool sse : {true, false}) {
      std::size_t clients = 0, connections = 0, missed = 0, missing = 0, twice = 0, late = 0,
                  notices = 0;
      for (const Client& c : Clients) {
        if (c.sse != sse) continue;
        std::size_t lost = 0;
        for (std::size_t s = 0; s < Sent.size(); ++s) {
          const std::vector<bool>& got = c.sources[s].got;
          lost += Sent[s] - static_cast<std::size_t>(std::count(got.begin(), got.end(), true));
        }
        ++clients;
        connections += c.connections;
        missed += lost;
        missing += lost > 0;
        twice += c.twice;
        late += c.outOfOrder;
        notices += c.notices;
      }
      std::printf(
          "%s clients: %zu, %zu connections; %zu events missed (by %zu clients), %zu twice, "
          "%zu out of order; %zu missed notices\n",
          sse ? "SSE" : "multipart", clients, connections, missed, missing, twice, late, notices);
    }
  }

 private:
  void Open(std::size_t id) {
    Client& c = Clients[id];
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(c.fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address);
    epoll_event interest{EPOLLIN | EPOLLOUT, {.u64 = id}};
    epoll_ctl(Poll, EPOLL_CTL_ADD, c.fd, &interest);
    ++c.connections;
  }

  // How many places each source sent: its letter, a colon and the number, for each source.
  void ReadSent() {
    SentRead = true;
    Sent.assign(Tags.size(), 0);
    char tag;
    for (std::size_t places; std::scanf(" %c:%zu", &tag, &places) == 2;) {
      if (Tags.find(tag) != std::string::npos) Sent[Tags.find(tag)] = places;
    }
    for (Client& c : Clients) CheckDone(c);
  }

  void Serve(const epoll_event& ready, std::vector<char>& chunk) {
    const std::size_t id = ready.data.u64;
    Client& c = Clients[id];
    if (ready.events & EPOLLOUT) {  // connected: ask once, then only read
      std::string request = "GET / HTTP/1.0\r\n";
      if (c.sse) request += "Accept: text/event-stream\r\n";
      if (!c.lastId.empty()) request += "Last-Event-ID: " + c.lastId + "\r\n";
      request += "\r\n";
      ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
      epoll_event interest{EPOLLIN, {.u64 = id}};
      epoll_ctl(Poll, EPOLL_CTL_MOD, c.fd, &interest);
    }
    const ssize_t got = ::recv(c.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got > 0) {
      c.pending.append(chunk.data(), static_cast<std::size_t>(got));
      c.pending.erase(0, c.sse ? TakeEvents(c) : TakeParts(c));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      Lost(id);
    }
  }

  // Its relay or the balancer went away: through the balancer again, an SSE client after its
  // retry time. A partly received event is dropped, as EventSource drops it.
  void Lost(std::size_t id) {
    Client& c = Clients[id];
    ::close(c.fd);
    c.fd = -1;
    Subscribed -= c.subscribed;
    c.subscribed = false;
    c.pending.clear();
    if (c.sse) {
      Reconnects.emplace(Clock::now() + std::chrono::milliseconds(c.retryMs), id);
    } else {
      Open(id);
    }
  }

  void Subscribe(Client& c) {
    c.subscribed = true;
    ++Subscribed;
  }

  // The bytes of the client's text taken as its answer's header and whole parts.
  std::size_t TakeParts(Client& c) {
    const std::string_view text = c.pending;
    std::size_t used = 0;
    if (!c.subscribed) {
      const std::size_t first = text.find(Boundary.substr(2));
      if (first == std::string_view::npos) return 0;
      Subscribe(c);
      used = first + Boundary.size() - 2;
    }
    for (std::size_t end; (end = text.find(Boundary, used)) != std::string_view::npos;
         used = end + Boundary.size()) {
      const std::string_view part = text.substr(used, end - used);
      const std::size_t body = part.find("\r\n\r\n");
      if (body != std::string_view::npos &&
          part.substr(0, body) == "Content-Type: text/x-zelva-event") {
        Record(c, part.substr(body + 4));
      }
    }
    return used;
  }

  // The bytes of the client's text taken as its answer's header and whole events.
  std::size_t TakeEvents(Client& c) {
    const std::string_view text = c.pending;
    std::size_t used = 0;
    if (!c.subscribed) {
      const std::size_t end = text.find("\r\n\r\n");
      if (end == std::string_view::npos) return 0;
      Subscribe(c);
      used = end + 4;
    }
    for (std::size_t end; (end = text.find("\n\n", used)) != std::string_view::npos;
         used = end + 2) {
      Dispatch(c, text.substr(used, end - used));
    }
    return used;
  }

  // One event's lines, as EventSource reads them; the relay writes one data line per event.
  void Dispatch(Client& c, std::string_view lines) {
    std::string_view type, data;
    while (!lines.empty()) {
      const std::size_t eol = std::min(lines.find('\n'), lines.size());
      const std::string_view line = lines.substr(0, eol);
      lines.remove_prefix(std::min(eol + 1, lines.size()));
      const std::size_t colon = std::min(line.find(':'), line.size());
      const std::string_view name = line.substr(0, colon);
      std::string_view value = line.substr(std::min(colon + 1, line.size()));
      if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      if (name == "id") c.lastId = value;
      if (name == "event") type = value;
      if (name == "data") data = value;
      if (name == "retry") std::from_chars(value.data(), value.data() + value.size(), c.retryMs);
    }
    if (type == "missed") {
      ++c.notices;
      std::printf("notice %.*s\n", static_cast<int>(data.size()), data.data());
    } else if (!data.empty()) {
      Record(c, JsonText(data));
    }
  }

  void Record(Client& c, std::string_view text) {
    if (text.size() < 2 || text[0] != '#') return;
    const std::size_t source = Tags.find(text[1]);
    if (source == std::string::npos) return;
    Received& r = c.sources[source];
    std::size_t place = r.next;  // a text without a number takes the next place
    std::from_chars(text.data() + 2, text.data() + text.size(), place);
    if (place >= r.got.size()) r.got.resize(std::max(place + 1, 2 * r.got.size()));
    if (r.got[place]) {
      ++c.twice;
      return;
    }
    r.got[place] = true;
    c.outOfOrder += place < r.next;
    r.next = std::max(r.next, place + 1);
    CheckDone(c);
  }

  void CheckDone(Client& c) {
    if (c.done || !SentRead) return;
    for (std::size_t s = 0; s < Sent.size(); ++s) {
      if (c.sources[s].next != Sent[s]) return;
    }
    c.done = true;
    ++Done;
  }

  const sockaddr_in Address;
  const std::string Tags;
  std::vector<Client> Clients;
  const int Poll;
  std::size_t Subscribed = 0, Done = 0;
  bool SentRead = false;
  std::vector<std::size_t> Sent;  // by source
  // SSE clients waiting out their retry time, the soonest first.
  std::priority_queue<std::pair<Clock::time_point, std::size_t>,
                      std::vector<std::pair<Clock::time_point, std::size_t>>, std::greater<>>
      Reconnects;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr, "usage: stream_clients HOST PORT MULTIPART SSE [TAGS]\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  inet_pton(AF_INET, argv[1], &address.sin_addr);
  std::signal(SIGINT, [](int) { Stop = 1; });
  std::signal(SIGTERM, [](int) { Stop = 1; });
  std::signal(SIGUSR1, [](int) { SentKnown = 1; });
  std::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Crowd crowd(address, static_cast<std::size_t>(std::atoi(argv[3])),
              static_cast<std::size_t>(std::atoi(argv[4])), argc == 6 ? argv[5] : "");
  crowd.Run();
  crowd.Report();
  return 0;
}
