#pragma once

#include <cstdint>
#include <system_error>

#include "asio/ip/v6_only.hpp"

// Opens a listening or datagram socket and binds it to the port on every local address: one IPv6
// socket that takes IPv4 peers as well where the host has IPv6, an IPv4 socket where it has not
// or where ipv4Only asks for it. `configure` sets options between opening and binding. A failed
// bind is thrown, whichever family: it means the port is taken, not that IPv6 is missing.
template <class Socket, class Configure>
void OpenOnEveryAddress(Socket& socket, std::uint16_t port, bool ipv4Only, Configure configure) {
  using Protocol = typename Socket::protocol_type;
  if (!ipv4Only) {
    std::error_code error;
    socket.open(Protocol::v6(), error);
    if (!error) socket.set_option(asio::ip::v6_only(false), error);
    if (!error) {
      configure();
      socket.bind(typename Protocol::endpoint(Protocol::v6(), port));
      return;
    }
    std::error_code ignored;
    socket.close(ignored);
  }
  socket.open(Protocol::v4());
  configure();
  socket.bind(typename Protocol::endpoint(Protocol::v4(), port));
}

// Takes over a socket that another process opened and bound (a service manager that holds the
// relay's ports across its restarts), of whichever family it is.
template <class Socket>
void AdoptBound(Socket& socket, typename Socket::native_handle_type handle) {
  using Protocol = typename Socket::protocol_type;
  socket.assign(Protocol::v6(), handle);
  const Protocol actual = socket.local_endpoint().protocol();
  if (actual == Protocol::v6()) return;
  socket.release();
  socket.assign(actual, handle);
}
