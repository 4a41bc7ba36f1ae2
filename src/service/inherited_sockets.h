#pragma once

#include <optional>

#include "common/socket_identity.h"

// Sockets that the service manager opened for the program and handed over at its start. They
// belong to the manager and outlive the process: while no relay runs, connections wait in the
// listener's backlog and datagrams in the event socket's queue, for the next relay to take.
struct InheritedSockets {
  std::optional<int> Stream;  // a listening TCP socket: the stream port
  std::optional<int> Events;  // a UDP socket: the event port
  SocketIdentity EventsIdentity;  // known only for a socket handed over
};

// Takes the sockets handed to this process, told apart by their type; on a host without socket
// activation, or when none were handed over, both are empty and the relay opens its own ports.
InheritedSockets TakeInheritedSockets();
