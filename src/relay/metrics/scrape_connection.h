#pragma once

#include <functional>
#include <memory>
#include <string>

#include "asio/ip/tcp.hpp"
#include "asio/steady_timer.hpp"

class ScrapeSet;

// One connection to the metrics port: it reads a request head, answers it with the exposition
// text (a HEAD request with the same head alone) and closes. Its handlers share ownership of it,
// so it lasts until the last of them ran, however it was stopped; a stopped connection's
// handlers, cancelled or already done, find its socket closed and leave the set alone.
class ScrapeConnection : public std::enable_shared_from_this<ScrapeConnection> {
 public:
  ScrapeConnection(asio::ip::tcp::socket socket, ScrapeSet& set,
                   const std::function<std::string()>& exposition);

  void Start();
  // Closes at once, answered or not.
  void Stop();

 private:
  void ReadHead();
  void Answer();
  void Drain();
  void WatchDeadline();

  asio::ip::tcp::socket Socket;
  asio::steady_timer Deadline;
  ScrapeSet& Set;
  const std::function<std::string()>& Exposition;
  std::string Received;
  std::string Head;
  std::string Body;
};
