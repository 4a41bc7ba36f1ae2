#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

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

  // Whether the set may close it to make room for a newcomer: not while its answer is written.
  bool Yields() const { return Stage != Phase::Writing; }
  // Which of two that yield the set closes first: one already answered, which loses nothing;
  // else the one nearest its deadline, which has waited longest for its request.
  bool YieldsBefore(const ScrapeConnection& other) const {
    return std::pair(Stage, Deadline.expiry()) < std::pair(other.Stage, other.Deadline.expiry());
  }

 private:
  void ReadHead();
  void Answer();
  void Drain();
  void WatchDeadline();

  enum class Phase { Answered, Reading, Writing };  // in the order in which they yield

  Phase Stage = Phase::Reading;
  asio::ip::tcp::socket Socket;
  asio::steady_timer Deadline;
  ScrapeSet& Set;
  const std::function<std::string()>& Exposition;
  std::string Received;
  std::string Head;
  std::string Body;
};
