#include "relay/backend/exclusive_bind.h"

void PrepareExclusiveBind(asio::ip::tcp::acceptor& listener) {
  listener.set_option(asio::socket_base::reuse_address(true));
}

// Here SO_REUSEADDR would let every datagram socket that sets it share the port, and a datagram
// socket has no TIME_WAIT to get past: none is set.
void PrepareExclusiveBind(asio::ip::udp::socket& /*socket*/) {}
