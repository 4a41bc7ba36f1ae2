// systemd's socket activation: the descriptors from SD_LISTEN_FDS_START on, counted in LISTEN_FDS
// and meant for this process by LISTEN_PID. The variables are cleared once read, so that nothing
// the relay starts takes them for its own.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "service/inherited_sockets.h"

InheritedSockets TakeInheritedSockets() {
  InheritedSockets sockets;
  const int count = sd_listen_fds(1);
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (!sockets.Stream && sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0) {
      sockets.Stream = fd;
    } else if (!sockets.Events && sd_is_socket(fd, AF_UNSPEC, SOCK_DGRAM, -1) > 0) {
      sockets.Events = fd;
    } else {
      ::close(fd);  // not one the relay serves on: held open, it would only keep its port busy
    }
  }
  return sockets;
}
