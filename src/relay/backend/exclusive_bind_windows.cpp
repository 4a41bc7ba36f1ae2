#include <winsock2.h>

#include <system_error>

#include "asio/error.hpp"
#include "relay/backend/exclusive_bind.h"

namespace {

void SetExclusiveAddressUse(SOCKET socket) {
  const BOOL on = TRUE;
  if (::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    throw std::system_error(::WSAGetLastError(), asio::error::get_system_category());
  }
}

}  // namespace

void PrepareExclusiveBind(asio::ip::tcp::acceptor& listener) {
  SetExclusiveAddressUse(listener.native_handle());
}

void PrepareExclusiveBind(asio::ip::udp::socket& socket) {
  SetExclusiveAddressUse(socket.native_handle());
}
