// Fan-out throughput of the real relay: N streaming clients on loopback, M events sent in
// bursts; each burst is sent once every client has received the one before, so no datagram is
// lost to a full socket buffer and the figure is what the relay delivers.
//
//   korvel_fanout_bench [clients] [events] [event-bytes] [burst]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port that nothing on 127.0.0.1 uses at the moment of asking.
std::uint16_t FreePort(int type) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

int Connect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = Loopback(port);
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::perror("connect");
  std::exit(1);
}

// User plus system CPU seconds the process has used so far.
double CpuSeconds(pid_t pid) {
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (stat == nullptr) return 0;
  char text[1024] = {};
  const std::size_t length = std::fread(text, 1, sizeof text - 1, stat);
  std::fclose(stat);
  // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
  const char* fields = std::strrchr(text, ')');
  unsigned long user = 0, system = 0;
  if (length == 0 || fields == nullptr ||
      std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                  &system) != 2) {
    return 0;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int events = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int eventBytes = argc > 3 ? std::atoi(argv[3]) : 200;
  const int burst = argc > 4 ? std::atoi(argv[4]) : 20;

  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  const std::uint16_t streamPort = FreePort(SOCK_STREAM);
  const std::uint16_t eventPort = FreePort(SOCK_DGRAM);
  const pid_t relay = ::fork();
  if (relay == 0) {
    ::freopen("/dev/null", "w", stdout);  // its status line would mix with the result
    const std::string stream = std::to_string(streamPort);
    const std::string event = std::to_string(eventPort);
    ::execl(KORVEL_EXECUTABLE, KORVEL_EXECUTABLE, "-p", stream.c_str(), "-l", event.c_str(), "-d",
            "11", "-i", "bench.log", static_cast<char*>(nullptr));
    ::_exit(127);
  }

  const std::size_t headerBytes = 102;
  const std::size_t partBytes = 56 + static_cast<std::size_t>(eventBytes);
  const int poller = ::epoll_create1(0);
  std::vector<std::size_t> received(static_cast<std::size_t>(clients), 0);
  std::vector<int> sockets;
  for (int i = 0; i < clients; ++i) {
    const int fd = Connect(streamPort);
    const std::string request = "GET /?TextFilter=EV HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), 0);
    epoll_event interest{EPOLLIN, {.u64 = static_cast<std::uint64_t>(i)}};
    ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &interest);
    sockets.push_back(fd);
  }

  // Reads until every client holds target bytes; false on a timeout.
  std::vector<char> buffer(1 << 20);
  std::vector<epoll_event> ready(1024);
  int complete = 0;
  const auto readUntil = [&](std::size_t target) {
    complete = 0;
    for (std::size_t count : received) complete += count >= target ? 1 : 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (complete < clients) {
      if (Clock::now() > deadline) return false;
      const int n = ::epoll_wait(poller, ready.data(), static_cast<int>(ready.size()), 100);
      for (int k = 0; k < n; ++k) {
        const auto i = static_cast<std::size_t>(ready[k].data.u64);
        const ssize_t got = ::recv(sockets[i], buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got <= 0) continue;
        const bool wasComplete = received[i] >= target;
        received[i] += static_cast<std::size_t>(got);
        if (!wasComplete && received[i] >= target) ++complete;
      }
    }
    return true;
  };
  if (!readUntil(headerBytes)) {
    std::fprintf(stderr, "clients were not all answered\n");
    return 1;
  }

  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in target = Loopback(eventPort);
  std::string payload = "EV" + std::string(static_cast<std::size_t>(eventBytes) - 2, 'x');
  const auto start = Clock::now();
  const double cpuAtStart = CpuSeconds(relay);
  bool ok = true;
  for (int sent = 0; sent < events && ok;) {
    for (int b = 0; b < burst && sent < events; ++b, ++sent) {
      ::sendto(sender, payload.data(), payload.size(), 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
    ok = readUntil(headerBytes + static_cast<std::size_t>(sent) * partBytes);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double relayCpu = CpuSeconds(relay) - cpuAtStart;

  ::kill(relay, SIGTERM);
  ::waitpid(relay, nullptr, 0);
  if (!ok) {
    std::fprintf(stderr, "timed out: %d of %d clients complete\n", complete, clients);
    return 1;
  }
  const double parts = static_cast<double>(events) * clients;
  std::printf(
      "clients=%d events=%d event-bytes=%d burst=%d: %.3f s, %.0f events/s, %.0f parts/s, %.1f "
      "MB/s to clients; relay CPU %.2f s (%.0f parts per relay CPU second)\n",
      clients, events, eventBytes, burst, seconds, events / seconds, parts / seconds,
      parts * static_cast<double>(partBytes) / seconds / 1e6, relayCpu,
      relayCpu > 0 ? parts / relayCpu : 0.0);
  return 0;
}
