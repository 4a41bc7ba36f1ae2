#pragma once

#include <netinet/in.h>

#include <cstdint>

// Loopback addresses and ports for tests and benchmarks: nothing here leaves the machine.

sockaddr_in Loopback(std::uint16_t port);
// A port that nothing on 127.0.0.1 uses at the moment of asking.
std::uint16_t FreeTcpPort();
std::uint16_t FreeUdpPort();
