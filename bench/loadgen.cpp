// Load generator for the fan-out benchmark: one publisher and K subscribers against the relay,
// Redis pub/sub or nginx with nchan, all on loopback, in one thread on one core.
//
// Every event carries a sequence number and its send time ("#EV<seq>:<ns>:" padded to the
// payload size), so that each subscriber can tell what it got, what it missed, what came
// malformed, and how long each event took. One run measures one cell and prints one line of
// key=value results; bench/run-matrix.sh runs the whole matrix.
//
//   loadgen --target korvel|redis|nchan --stream PORT [--events PORT] --pid PID
//           [--clients K] [--payload BYTES] [--seconds S] [--window W | --rate R]
//           [--filter TEXT] [--admissions N] [--idle-rss 1] [--nomatch N] [--sse 1]
//           [--fill N] [--selective none|one --datagrams N]
//
// --sse 1 subscribes as a browser's EventSource does (the relay and nchan): the events come as
// Server-Sent Events instead of multipart parts (the relay) or raw lines (nchan). --fill N sends
// N events to a relay without clients, then N more, and reads its memory after each. A server's
// memory without clients is read once it has settled (see SettledRssKiB).
// --selective gives every subscriber a TextFilter of its own ("@" and five digits) and sends N
// datagrams that carry another such word: one that no subscriber holds (none) or the filter of
// exactly one subscriber, each in turn (one); it prints the relay's CPU per datagram.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "loadgen: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

struct Options {
  std::string target = "korvel";
  int streamPort = 3677;
  int eventPort = 9007;
  int pid = 0;
  int clients = 1;
  std::size_t payload = 64;
  double seconds = 3;
  int window = 256;  // events in flight in the closed loop
  int rate = 0;      // events per second; 0 runs the closed loop
  std::string filter = "EV";
  int admissions = 0;
  bool idleRss = false;
  int nomatch = 0;
  bool sse = false;
  int fill = 0;
  std::string selective;  // none or one
  int datagrams = 20000;
};

Options ReadOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--target") o.target = value;
    else if (key == "--stream") o.streamPort = std::stoi(value);
    else if (key == "--events") o.eventPort = std::stoi(value);
    else if (key == "--pid") o.pid = std::stoi(value);
    else if (key == "--clients") o.clients = std::stoi(value);
    else if (key == "--payload") o.payload = std::stoul(value);
    else if (key == "--seconds") o.seconds = std::stod(value);
    else if (key == "--window") o.window = std::stoi(value);
    else if (key == "--rate") o.rate = std::stoi(value);
    else if (key == "--filter") o.filter = value;
    else if (key == "--admissions") o.admissions = std::stoi(value);
    else if (key == "--idle-rss") o.idleRss = value == "1";
    else if (key == "--nomatch") o.nomatch = std::stoi(value);
    else if (key == "--sse") o.sse = value == "1";
    else if (key == "--fill") o.fill = std::stoi(value);
    else if (key == "--selective") o.selective = value;
    else if (key == "--datagrams") o.datagrams = std::stoi(value);
    else throw std::invalid_argument("unknown option " + key);
  }
  if (o.payload < 40) throw std::invalid_argument("payloads are at least 40 bytes");
  if (!o.selective.empty() && o.selective != "none" && o.selective != "one")
    throw std::invalid_argument("--selective is none or one");
  if (!o.selective.empty() && (o.sse || o.target != "korvel"))
    throw std::invalid_argument("--selective measures the relay's multipart answer");
  if (!o.selective.empty() && o.payload < 48) throw std::invalid_argument("--selective needs 48 bytes");
  if (o.sse && o.target == "redis") throw std::invalid_argument("Redis has no Server-Sent Events");
  return o;
}

// What the target's process has used: CPU seconds and resident KiB.
double TargetCpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const std::size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of the target's main thread in nanoseconds (the relay's one thread), finer than the
// clock ticks of /proc/PID/stat.
std::uint64_t TargetThreadCpuNs(int pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  std::uint64_t ns = 0;
  schedstat >> ns;
  return ns;
}

long TargetRssKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Connections come from 127.0.0.1 to 127.0.0.8 in turn: with one source address, the kernel's
// search for a free ephemeral port grows slow as 19,000 connections fill the range, and the
// client's connect would be timed instead of the server's admission.
int ConnectTcp(int port) {
  static std::uint32_t connections = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  const int one = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  sockaddr_in source = Loopback(0);
  source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + connections++ % 8);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) Die("bind");
  const sockaddr_in address = Loopback(port);
  for (int attempt = 0; ::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address) != 0;
       ++attempt) {
    if (attempt == 500) Die("connect");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN) Die("send");
    if (sent > 0) data.remove_prefix(static_cast<std::size_t>(sent));
  }
}

// How each system frames an event for its subscribers, and how one subscribes and publishes.
struct Protocol {
  std::string subscribe;  // what a subscriber sends once
  std::string ready;      // what tells it that the subscription stands
  std::string prefix;     // what stands right before an event's payload
  std::string terminator;  // what stands right after it
  // Server-Sent Events instead: lines, and an empty line after each event; the characters an
  // event's id may have besides letters and digits.
  bool sse = false;
  std::string idMarks{};
};

Protocol ProtocolFor(const Options& o) {
  const std::string size = std::to_string(o.payload);
  const std::string accept = "Accept: text/event-stream\r\n\r\n";
  if (o.sse && o.target == "korvel") {
    return {"GET /?TextFilter=" + o.filter + " HTTP/1.0\r\n" + accept,
            "HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n\r\n",
            "", "", true, "-"};
  }
  if (o.sse && o.target == "nchan") {
    return {"GET /sse HTTP/1.0\r\n" + accept, "\r\n\r\n", "", "", true, ":"};
  }
  if (o.target == "korvel") {
    return {"GET /?TextFilter=" + o.filter + " HTTP/1.0\r\n\r\n",
            "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=ABCDEF12345678"
            "\r\n\r\n--ABCDEF12345678\r\n",
            "Content-Type: text/x-zelva-event\r\n\r\n", "\r\n--ABCDEF12345678\r\n"};
  }
  if (o.target == "redis") {
    return {"*2\r\n$9\r\nSUBSCRIBE\r\n$5\r\nbench\r\n", "*3\r\n$9\r\nsubscribe\r\n$5\r\nbench\r\n:1\r\n",
            "$" + size + "\r\n", "\r\n"};
  }
  if (o.target == "nchan") return {"GET /sub HTTP/1.0\r\n\r\n", "\r\n\r\n", "", "\n"};
  throw std::invalid_argument("unknown target " + o.target);
}

// Latencies in buckets of about 3 % (16 per power of two), found with integer steps only: the
// generator records millions of deliveries a second.
class Histogram {
 public:
  void Add(std::uint64_t ns) {
    const int width = std::bit_width(ns | 16);
    ++Buckets[static_cast<std::size_t>(width * 16) + ((ns >> (width - 5)) & 15)];
    ++Count;
    MaxNs = std::max(MaxNs, ns);
  }
  double PercentileUs(double p) const {
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < Buckets.size(); ++i) {
      seen += Buckets[i];
      if (Count && static_cast<double>(seen) >= p * static_cast<double>(Count)) {
        const auto width = static_cast<int>(i / 16);
        return std::ldexp(16.5 + static_cast<double>(i % 16), width - 5) / 1000.0;
      }
    }
    return 0;
  }
  double MaxUs() const { return static_cast<double>(MaxNs) / 1000.0; }

 private:
  std::array<std::uint64_t, 65 * 16> Buckets{};
  std::uint64_t Count = 0;
  std::uint64_t MaxNs = 0;
};

struct Subscriber {
  int fd = -1;
  bool ready = false;
  std::string pending;  // an incomplete event (or subscription reply) from the last read
  std::uint64_t next = 0;  // the sequence number expected next
  std::uint64_t delivered = 0, malformed = 0, missing = 0;
};

std::uint64_t Digits(const char* text, int count, bool& ok) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') ok = false;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

constexpr int SeqDigits = 10, TimeDigits = 20;
constexpr std::size_t Ring = 1 << 16;

class Bench {
 public:
  explicit Bench(Options options) : O(std::move(options)), P(ProtocolFor(O)) {
    Poll = epoll_create1(EPOLL_CLOEXEC);
    Completions.assign(Ring, 0);
    Padding.assign(O.payload, '.');
    for (int c = 0; c < 256; ++c)
      IdCharacters[static_cast<std::size_t>(c)] =
          std::isalnum(c) || P.idMarks.find(static_cast<char>(c)) != std::string::npos;
  }

  // Connects count subscribers in waves and waits until each subscription stands.
  void Subscribe(int count) {
    for (int done = 0; done < count;) {
      const int wave = std::min(count - done, 500);
      for (int i = 0; i < wave; ++i) AddSubscriber();
      done += wave;
      if (!WaitReady(std::chrono::seconds(30))) Die("subscriptions not answered");
    }
  }

  // One subscriber at a time, each kept: the round trip of every admission.
  void Admissions(int count) {
    std::vector<double> us, serverUs;
    for (int i = 0; i < count; ++i) {
      const std::uint64_t start = NowNs(), serverStart = TargetThreadCpuNs(O.pid);
      AddSubscriber();
      if (!WaitReady(std::chrono::seconds(10))) Die("admission not answered");
      us.push_back(static_cast<double>(NowNs() - start) / 1000.0);
      serverUs.push_back(static_cast<double>(TargetThreadCpuNs(O.pid) - serverStart) / 1000.0);
    }
    const auto median = [](std::vector<double> part) {
      std::nth_element(part.begin(), part.begin() + part.size() / 2, part.end());
      return part[part.size() / 2];
    };
    const std::size_t n = std::min<std::size_t>(100, us.size());
    std::printf("admissions=%d first%zu_p50_us=%.1f last%zu_p50_us=%.1f "
                "server_first_p50_us=%.1f server_last_p50_us=%.1f\n",
                count, n, median({us.begin(), us.begin() + n}), n, median({us.end() - n, us.end()}),
                median({serverUs.begin(), serverUs.begin() + n}),
                median({serverUs.end() - n, serverUs.end()}));
  }

  void CloseAll() {
    for (Subscriber& s : Subs) ::close(s.fd);
    Subs.clear();
  }

  void Run() {
    OpenPublisher();
    const double cpu0 = TargetCpuSeconds(O.pid), own0 = OwnCpuSeconds();
    const std::uint64_t start = NowNs();
    const auto stopAt = start + static_cast<std::uint64_t>(O.seconds * 1e9);
    std::uint64_t lastProgress = start, seenDelivered = 0;
    while (true) {
      const std::uint64_t now = NowNs();
      if (now < stopAt && O.rate == 0 && now - lastProgress > 1'000'000'000ull) {
        AbandonWindow();
        lastProgress = now;
      }
      if (now < stopAt) Publish(now, start);
      else if (Completed == Sent || now - lastProgress > 2'000'000'000ull) break;
      PollOnce(now < stopAt ? 0 : 10);
      if (Delivered != seenDelivered) seenDelivered = Delivered, lastProgress = NowNs();
    }
    const double wall = static_cast<double>(LastReceipt - start) / 1e9;
    const double cpu = TargetCpuSeconds(O.pid) - cpu0;
    const double own = (OwnCpuSeconds() - own0) / (static_cast<double>(NowNs() - start) / 1e9);
    std::uint64_t malformed = 0;
    for (const Subscriber& s : Subs) malformed += s.malformed;
    const std::uint64_t expected = Sent * Subs.size();
    std::printf(
        "target=%s clients=%zu payload=%zu mode=%s sse=%d sent=%llu delivered=%llu missing=%llu "
        "malformed=%llu seconds=%.3f delivered_per_s=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f "
        "target_cpu_s=%.3f target_ns_per_delivery=%.1f generator_cpu=%.2f stalls=%d\n",
        O.target.c_str(), Subs.size(), O.payload, O.rate ? "rate" : "max", O.sse ? 1 : 0,
        static_cast<unsigned long long>(Sent), static_cast<unsigned long long>(Delivered),
        static_cast<unsigned long long>(expected - std::min(expected, Delivered)),
        static_cast<unsigned long long>(malformed), wall,
        wall > 0 ? static_cast<double>(Delivered) / wall : 0.0, Latency.PercentileUs(0.5),
        Latency.PercentileUs(0.99), Latency.MaxUs(), cpu,
        Delivered ? cpu * 1e9 / static_cast<double>(Delivered) : 0.0, own, Stalls);
  }

  // The relay's CPU per datagram that no subscriber's filter accepts.
  void NoMatch(int count) {
    OpenPublisher();
    const double cpu0 = TargetCpuSeconds(O.pid);
    const std::uint64_t dropped = SendFollowed(count);
    const double cpu = TargetCpuSeconds(O.pid) - cpu0;
    std::printf("target=korvel clients=%zu nomatch=%d dropped=%llu target_ns_per_datagram=%.1f\n",
                Subs.size(), count, static_cast<unsigned long long>(dropped),
                cpu * 1e9 / static_cast<double>(count - static_cast<int>(dropped)));
  }

  // The relay's CPU per datagram when each subscriber has a filter of its own and a datagram is
  // wanted by none or by exactly one of them: the main thread's time, in nanoseconds.
  void Selective() {
    OpenPublisher();
    Counting = true;
    const std::uint64_t cpu0 = TargetThreadCpuNs(O.pid);
    const std::uint64_t dropped = SendFollowed(O.datagrams);
    const std::uint64_t wanted = O.selective == "one" ? O.datagrams - dropped : 0;
    for (int wait = 0; wait < 2000 && ReceivedEvents < wanted; ++wait) PollOnce(1);
    const std::uint64_t cpu = TargetThreadCpuNs(O.pid) - cpu0;
    std::printf("target=korvel clients=%zu selective=%s datagrams=%d dropped=%llu delivered=%llu "
                "target_ns_per_datagram=%.1f\n",
                Subs.size(), O.selective.c_str(), O.datagrams,
                static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(ReceivedEvents),
                static_cast<double>(cpu) / static_cast<double>(O.datagrams - dropped));
  }

  // What the relay's replay ring holds in memory: count events sent to a relay without clients,
  // then count more, which a ring of count events must hold without growing.
  void Fill(int count) {
    OpenPublisher();
    const long base = SettledRssKiB();  // the first client is gone before any event comes
    // A datagram sent before the relay has its event socket would come back refused.
    for (int wait = 0; wait < 500 && EventSocketLine().empty(); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto settled = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    std::uint64_t dropped = SendFollowed(count);
    settled();
    const long full = TargetRssKiB(O.pid);
    dropped += SendFollowed(count);
    settled();
    const long twice = TargetRssKiB(O.pid);
    std::printf("target=korvel payload=%zu fill=%d dropped=%llu rss_base_kib=%ld rss_full_kib=%ld "
                "rss_twice_kib=%ld\n",
                O.payload, count, static_cast<unsigned long long>(dropped), base, full, twice);
  }

  void IdleRss() {
    const long base = SettledRssKiB();
    Subscribe(O.clients);
    // Five ticks of the relay and one keep-alive: what holding idle clients costs the server.
    const double cpu0 = TargetCpuSeconds(O.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    const double idleCpuMs = (TargetCpuSeconds(O.pid) - cpu0) * 1000 / 5.5;
    const long loaded = TargetRssKiB(O.pid);
    std::printf("target=%s sse=%d clients=%d rss_base_kib=%ld rss_kib=%ld kib_per_idle_client=%.2f "
                "idle_cpu_ms_per_s=%.1f\n",
                O.target.c_str(), O.sse ? 1 : 0, O.clients, base, loaded,
                static_cast<double>(loaded - base) / O.clients, idleCpuMs);
  }

 private:
  // The server's resident memory once it has settled: after it has answered a first client, seen
  // it go, and had a tick of the relay (once a second) to spare. Read right after the start, it
  // caught the server part of the way through loading and touching its memory (from 1.9 to
  // 8.6 MiB for the same relay), and what the server touches for its first client alone was
  // counted against every client, so the memory per client came out wrong, even below zero when
  // set against another cell's.
  long SettledRssKiB() {
    AddSubscriber();
    if (!WaitReady(std::chrono::seconds(10))) Die("first client not answered");
    CloseAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return TargetRssKiB(O.pid);
  }

  void AddSubscriber() {
    Subscriber s;
    s.fd = ConnectTcp(O.streamPort);
    SendAll(s.fd, O.selective.empty()
                      ? P.subscribe
                      : "GET /?TextFilter=" + Word(Subs.size()) + " HTTP/1.0\r\n\r\n");
    epoll_event interest{EPOLLIN, {.u64 = Subs.size()}};
    epoll_ctl(Poll, EPOLL_CTL_ADD, s.fd, &interest);
    Subs.push_back(std::move(s));
    ++Unready;
  }

  bool WaitReady(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Unready > 0 && Clock::now() < deadline) PollOnce(10);
    return Unready == 0;
  }

  void PollOnce(int timeoutMs) {
    std::array<epoll_event, 1024> ready;
    const int n = epoll_wait(Poll, ready.data(), static_cast<int>(ready.size()), timeoutMs);
    for (int k = 0; k < n; ++k) {
      const std::uint64_t id = ready[static_cast<std::size_t>(k)].data.u64;
      if (id == PublisherId) {
        DrainPublisher();
      } else {
        Read(Subs[id]);
      }
    }
  }

  void Read(Subscriber& s) {
    static std::vector<char> chunk(1 << 18);
    const ssize_t got = ::recv(s.fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got <= 0) {
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        epoll_ctl(Poll, EPOLL_CTL_DEL, s.fd, nullptr);
        if (!s.ready) --Unready, s.ready = true;
      }
      return;
    }
    if (Counting) {  // the event marks only: keep-alive parts come too
      std::string_view data(chunk.data(), static_cast<std::size_t>(got));
      for (std::size_t at; (at = data.find("#EV")) != std::string_view::npos;
           data.remove_prefix(at + 3))
        ++ReceivedEvents;
      return;
    }
    LastReceipt = NowNs();  // one reading of the clock for every event of this read
    std::string_view data(chunk.data(), static_cast<std::size_t>(got));
    if (!s.pending.empty()) {
      s.pending.append(data);
      data = s.pending;
    }
    const std::size_t used = P.sse ? ParseServerSent(s, data) : Parse(s, data);
    s.pending.assign(data.substr(used));
  }

  // Finds the subscription reply in data if it has not come yet; returns where the events begin,
  // or npos while the reply is still incomplete.
  std::size_t TakeReply(Subscriber& s, std::string_view data) {
    if (s.ready) return 0;
    const std::size_t reply = data.find(P.ready);
    if (reply == std::string_view::npos) return reply;
    s.ready = true;
    --Unready;
    return reply + P.ready.size();
  }

  // Takes the subscription reply and every whole event from data; returns what it used.
  std::size_t Parse(Subscriber& s, std::string_view data) {
    std::size_t at = TakeReply(s, data);
    if (at == std::string_view::npos) return 0;
    const std::size_t whole = O.payload + P.terminator.size();
    while (true) {
      const std::size_t mark = data.find("#EV", at);
      if (mark == std::string_view::npos) {
        // Keep what could be the start of a marker and the text that would stand before it.
        return std::max(at, data.size() - std::min(data.size(), P.prefix.size() + 2));
      }
      if (data.size() - mark < whole) return std::max(at, mark - std::min(mark, P.prefix.size()));
      const bool framed = mark >= P.prefix.size() &&
                          data.substr(mark - P.prefix.size(), P.prefix.size()) == P.prefix &&
                          data.substr(mark + O.payload, P.terminator.size()) == P.terminator;
      Record(s, data.substr(mark, O.payload), framed);
      at = mark + whole;
    }
  }

  // The same for Server-Sent Events: line by line, comments and "retry:" skipped; every event
  // must have one id of at most 40 characters and one data line, and nothing else. An
  // incomplete event is left for the next read.
  std::size_t ParseServerSent(Subscriber& s, std::string_view data) {
    std::size_t at = TakeReply(s, data);
    if (at == std::string_view::npos) return 0;
    std::size_t event = at;  // where the lines of the event under way begin
    std::string_view text;
    bool named = false, carried = false, framed = true;
    for (std::size_t end; (end = data.find('\n', at)) != std::string_view::npos; at = end + 1) {
      const std::string_view line = data.substr(at, end - at);
      if (line.empty()) {
        if (named || carried || !framed) Record(s, text, framed && named && carried);
        text = {};
        named = carried = false, framed = true;
        event = end + 1;
      } else if (line.starts_with("id: ")) {
        framed = framed && !named && IsId(line.substr(4));
        named = true;
      } else if (line.starts_with("data: ")) {
        framed = framed && !carried;
        carried = true;
        text = EventText(line.substr(6), framed);
      } else if (line[0] != ':' && !line.starts_with("retry: ")) {
        framed = false;  // "event: missed", or whatever the stream should not have
      }
    }
    return event;
  }

  bool IsId(std::string_view id) const {
    return !id.empty() && id.size() <= 40 && std::all_of(id.begin(), id.end(), [&](char c) {
      return IdCharacters[static_cast<unsigned char>(c)];
    });
  }

  // The event's text in a data line: the raw text (nchan) or the "text" of the relay's JSON
  // object, which the generator's events need no escapes in. It is looked for first where a
  // whole event's text stands, last in the object, and searched for only when it is not there:
  // at millions of events a second, the generator's own cost sets the rate it can measure.
  std::string_view EventText(std::string_view data, bool& framed) const {
    if (!data.starts_with('{')) return data;
    constexpr std::string_view key = "\"text\":\"";
    const std::size_t last = data.size() - std::min(data.size(), O.payload + 2);
    if (last >= key.size() && data.ends_with("\"}") &&
        data.substr(last - key.size(), key.size()) == key) {
      return data.substr(last, O.payload);
    }
    const std::size_t start = data.find(key);
    const std::size_t end = start == std::string_view::npos
                                ? start
                                : data.find('"', start + key.size());
    if (end == std::string_view::npos || !data.ends_with('}') ||
        (data[end + 1] != '}' && data[end + 1] != ',')) {
      framed = false;
      return {};
    }
    return data.substr(start + key.size(), end - start - key.size());
  }

  void Record(Subscriber& s, std::string_view event, bool framed) {
    constexpr std::size_t Head = 5 + SeqDigits + TimeDigits;
    if (event.size() != O.payload) {
      ++s.malformed;
      return;
    }
    bool ok = framed && event.starts_with("#EV") && event[3 + SeqDigits] == ':' &&
              event[Head - 1] == ':' &&
              std::memcmp(event.data() + Head, Padding.data(), O.payload - Head) == 0;
    const std::uint64_t seq = Digits(event.data() + 3, SeqDigits, ok);
    const std::uint64_t sentNs = Digits(event.data() + 4 + SeqDigits, TimeDigits, ok);
    if (!ok || seq < s.next || seq >= Sent) {
      ++s.malformed;
      return;
    }
    // A skipped event is done for this subscriber too, or the window would wait for it forever.
    for (std::uint64_t skipped = s.next; skipped < seq; ++skipped) Complete(skipped);
    s.missing += seq - s.next;
    s.next = seq + 1;
    ++s.delivered;
    ++Delivered;
    Latency.Add(LastReceipt - std::min(sentNs, LastReceipt));
    Complete(seq);
  }

  void Complete(std::uint64_t seq) {
    if (++Completions[seq % Ring] != Subs.size()) return;
    while (Completed < Sent && Completions[Completed % Ring] == Subs.size())
      Completions[Completed++ % Ring] = 0;
  }

  // Gives up on the events in flight when nothing has arrived for a second (a subscriber that
  // the server dropped, or events lost at the end of a window), so that the run goes on.
  void AbandonWindow() {
    for (; Completed < Sent; ++Completed) Completions[Completed % Ring] = 0;
    ++Stalls;
  }

  // Writes the payload of event seq, sent at ns, to to (O.payload bytes).
  void WritePayload(char* to, std::uint64_t seq, std::uint64_t ns) const {
    std::memcpy(to, "#EV", 3);
    WriteDigits(to + 3, SeqDigits, seq);
    to[3 + SeqDigits] = ':';
    WriteDigits(to + 4 + SeqDigits, TimeDigits, ns);
    to[4 + SeqDigits + TimeDigits] = ':';
    std::memcpy(to + 5 + SeqDigits + TimeDigits, Padding.data(), O.payload - 5 - SeqDigits - TimeDigits);
    if (O.selective.empty()) return;
    // The word of subscriber seq % K, or one that none holds.
    const std::uint64_t word = seq % Subs.size() + (O.selective == "one" ? 0 : Subs.size());
    const std::string text = Word(static_cast<std::size_t>(word));
    std::memcpy(to + 5 + SeqDigits + TimeDigits, text.data(), text.size());
  }
  static std::string Word(std::size_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "@%05zu", n);
    return text;
  }
  static void WriteDigits(char* to, int count, std::uint64_t value) {
    for (int i = count - 1; i >= 0; --i, value /= 10) to[i] = static_cast<char>('0' + value % 10);
  }
  std::string Payload(std::uint64_t seq, std::uint64_t ns) const {
    std::string text(O.payload, '\0');
    WritePayload(text.data(), seq, ns);
    return text;
  }

  void OpenPublisher() {
    if (O.target == "korvel") {
      PublisherFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const sockaddr_in address = Loopback(O.eventPort);
      if (::connect(PublisherFd, reinterpret_cast<const sockaddr*>(&address), sizeof address))
        Die("connect event port");
      return;
    }
    PublisherFd = ConnectTcp(O.streamPort);
    epoll_event interest{EPOLLIN, {.u64 = PublisherId}};
    epoll_ctl(Poll, EPOLL_CTL_ADD, PublisherFd, &interest);
  }

  void DrainPublisher() {
    char discard[65536];
    while (::recv(PublisherFd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
    }
  }

  // Sends what the window or the rate allows now, in batches.
  void Publish(std::uint64_t now, std::uint64_t start) {
    std::uint64_t allowed;
    if (O.rate > 0) {
      const auto due = static_cast<std::uint64_t>(static_cast<double>(now - start) / 1e9 * O.rate);
      allowed = due > Sent ? due - Sent : 0;
    } else {
      const std::uint64_t inFlight = Sent - Completed;
      allowed = inFlight < static_cast<std::uint64_t>(O.window) ? O.window - inFlight : 0;
    }
    while (allowed > 0) {
      const auto batch = static_cast<int>(std::min<std::uint64_t>(allowed, 64));
      if (O.target == "korvel") {
        SendDatagrams(batch, now);
      } else {
        std::string commands;
        for (int i = 0; i < batch; ++i) commands += Command(Payload(Sent++, now));
        SendCommands(commands);
      }
      allowed -= static_cast<std::uint64_t>(batch);
    }
  }

  // Writes to the publisher's connection, reading its replies whenever it would block, so that
  // a server that stops reading until it has written its replies cannot stall the run.
  void SendCommands(std::string_view data) {
    while (!data.empty()) {
      const ssize_t sent = ::send(PublisherFd, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN) Die("send to the publisher's connection");
      if (sent > 0) data.remove_prefix(static_cast<std::size_t>(sent));
      if (!data.empty()) PollOnce(1);
    }
  }

  std::string Command(const std::string& payload) const {
    const std::string size = std::to_string(payload.size());
    if (O.target == "redis")
      return "*3\r\n$7\r\nPUBLISH\r\n$5\r\nbench\r\n$" + size + "\r\n" + payload + "\r\n";
    return "POST /pub HTTP/1.1\r\nHost: bench\r\nContent-Length: " + size + "\r\n\r\n" + payload;
  }

  // Sends count datagrams in bursts the relay can follow, so that none is dropped; returns the
  // socket's drop count, which tells if any was.
  std::uint64_t SendFollowed(int count) {
    const std::uint64_t drops0 = SocketDrops();
    for (int sent = 0; sent < count; sent += 64) {
      SendDatagrams(std::min(count - sent, 64), NowNs());
      while (WaitingBytes() > 0) {
        if (Counting) PollOnce(0);  // what reaches the subscribers, taken as it comes
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
    return SocketDrops() - drops0;
  }

  void SendDatagrams(int count, std::uint64_t now) {
    const auto n = static_cast<std::size_t>(count);
    Outgoing.resize(n * O.payload);
    std::array<iovec, 64> slots;
    std::array<mmsghdr, 64> messages{};
    for (std::size_t i = 0; i < n; ++i) {
      WritePayload(&Outgoing[i * O.payload], Sent + i, now);
      slots[i] = {&Outgoing[i * O.payload], O.payload};
      messages[i].msg_hdr.msg_iov = &slots[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (std::size_t done = 0; done < n;) {
      const int sent = ::sendmmsg(PublisherFd, messages.data() + done,
                                  static_cast<unsigned>(n - done), 0);
      if (sent < 0 && errno != EINTR && errno != EAGAIN) Die("sendmmsg");
      if (sent > 0) done += static_cast<std::size_t>(sent);
    }
    Sent += n;
  }

  // The event socket's line in /proc/net/udp: bytes waiting and datagrams dropped.
  // A relay that serves IPv6 too has its one event socket in udp6.
  std::vector<std::string> EventSocketLine() const {
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", O.eventPort);
    for (const char* name : {"/proc/net/udp", "/proc/net/udp6"}) {
      std::ifstream table(name);
      std::string line;
      std::getline(table, line);
      while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f((std::istream_iterator<std::string>(fields)), {});
        if (f.size() > 12 && f[1].size() > 5 && f[1].substr(f[1].size() - 5) == port) return f;
      }
    }
    return {};
  }
  std::uint64_t WaitingBytes() const {
    const auto f = EventSocketLine();
    return f.empty() ? 0 : std::stoull(f[4].substr(f[4].find(':') + 1), nullptr, 16);
  }
  std::uint64_t SocketDrops() const {
    const auto f = EventSocketLine();
    return f.empty() ? 0 : std::stoull(f[12]);
  }

  static constexpr std::uint64_t PublisherId = ~std::uint64_t{0};
  const Options O;
  const Protocol P;
  int Poll = -1;
  int PublisherFd = -1;
  std::vector<Subscriber> Subs;
  int Unready = 0;
  int Stalls = 0;
  std::uint64_t Sent = 0, Completed = 0, Delivered = 0, LastReceipt = 0;
  bool Counting = false;  // reads only count the events (--selective)
  std::uint64_t ReceivedEvents = 0;
  std::string Padding;  // what fills every payload after its head
  std::array<bool, 256> IdCharacters{};  // what an event's id may have
  std::vector<char> Outgoing;  // the datagrams of one sendmmsg
  std::vector<std::uint32_t> Completions;  // receipts per event still in flight
  Histogram Latency;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ReadOptions(argc, argv);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  Bench bench(options);
  if (options.idleRss) {
    bench.IdleRss();
  } else if (options.fill > 0) {
    bench.Fill(options.fill);
  } else if (options.clients > 0) {
    bench.Subscribe(options.clients);
    if (!options.selective.empty()) {
      bench.Selective();
    } else if (options.nomatch > 0) {
      bench.NoMatch(options.nomatch);
    } else {
      bench.Run();
    }
  }
  // After a run, the admissions show that a full relay still takes clients in.
  if (options.admissions > 0) bench.Admissions(options.admissions);
  bench.CloseAll();
  std::fflush(stdout);
  return 0;
}
