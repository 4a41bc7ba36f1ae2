// systemd's socket activation: the descriptors from SD_LISTEN_FDS_START on, counted in LISTEN_FDS
// and meant for this process by LISTEN_PID. The variables are cleared once read, so that nothing
// the relay starts takes them for its own.
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include "service/inherited_sockets.h"

namespace {

// The boot's time comes from the clocks, since /proc/sys may be hidden from a hardened service;
// the socket's inode number is unique among the sockets of one boot.
SocketIdentity IdentityOf(int socket) {
  struct stat status {};
  timespec now{}, sinceBoot{};
  if (::fstat(socket, &status) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
    return {};
  }
  const auto boot = now.tv_sec - sinceBoot.tv_sec - (now.tv_nsec < sinceBoot.tv_nsec ? 1 : 0);
  return {static_cast<std::uint64_t>(boot), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

InheritedSockets TakeInheritedSockets() {
  InheritedSockets sockets;
  const int count = sd_listen_fds(1);
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (!sockets.Stream && sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0) {
      sockets.Stream = fd;
    } else if (!sockets.Events && sd_is_socket(fd, AF_UNSPEC, SOCK_DGRAM, -1) > 0) {
      sockets.Events = fd;
      sockets.EventsIdentity = IdentityOf(fd);
    } else {
      ::close(fd);  // not one the relay serves on: held open, it would only keep its port busy
    }
  }
  return sockets;
}
