#pragma once

#include "asio/ip/tcp.hpp"
#include "asio/ip/udp.hpp"

// Set between opening a socket and binding it: afterwards no other socket, of this program or
// another, can bind the port while this one holds it, so a second relay started on a port in use
// fails at start-up instead of sharing it. Throws std::system_error.
//
// Each host gets there its own way. Linux refuses a second socket on a port by default;
// SO_REUSEADDR there only lets a restarted relay listen while the connections of the one before
// linger in TIME_WAIT. Windows lets a socket that sets SO_REUSEADDR onto a port whose holder set
// it too, and lets a program of the same account bind one address (127.0.0.1, say) of a port
// held on every address, taking what is sent to that address. SO_EXCLUSIVEADDRUSE refuses both,
// and Windows never needed SO_REUSEADDR to listen past TIME_WAIT.
void PrepareExclusiveBind(asio::ip::tcp::acceptor& listener);
void PrepareExclusiveBind(asio::ip::udp::socket& socket);
