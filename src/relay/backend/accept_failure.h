#pragma once

#include <chrono>
#include <system_error>

#include "asio/ip/tcp.hpp"
#include "asio/steady_timer.hpp"

// What a listener does with an accept that did not bring a connection. True when the completion
// is done with: the acceptor was closed (also just after this accept completed, which must not
// start the next one), or the accept failed, typically for want of file descriptors, and the
// next one is started shortly instead of at once, which would spin.
template <class AcceptNext>
bool AcceptFailed(const std::error_code& error, const asio::ip::tcp::acceptor& acceptor,
                  asio::steady_timer& retry, AcceptNext acceptNext) {
  if (error == asio::error::operation_aborted || !acceptor.is_open()) return true;
  if (!error) return false;
  retry.expires_after(std::chrono::milliseconds(100));
  retry.async_wait([acceptNext](const std::error_code& waitError) {
    if (!waitError) acceptNext();
  });
  return true;
}
