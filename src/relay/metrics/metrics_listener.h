#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "asio/io_context.hpp"
#include "asio/ip/address.hpp"
#include "asio/ip/tcp.hpp"
#include "asio/steady_timer.hpp"
#include "relay/metrics/scrape_set.h"

// The metrics port: any HTTP request gets the exposition text, with its length, and the
// connection closes. It runs on the relay's thread, so a scrape sees consistent counters and
// holds up event handling only while the text is formatted.
class MetricsListener {
 public:
  MetricsListener(asio::io_context& io, std::function<std::string()> exposition);

  // Listens on the address and port; throws std::system_error.
  void Listen(const asio::ip::address& address, std::uint16_t port);
  void Start();
  void Close();  // stops listening and drops open scrapes

 private:
  void AcceptNext();
  void OnAccepted(const std::error_code& error, asio::ip::tcp::socket peer);

  const std::function<std::string()> Exposition;
  asio::ip::tcp::acceptor Acceptor;
  asio::steady_timer AcceptRetry;
  ScrapeSet Scrapes;
};
