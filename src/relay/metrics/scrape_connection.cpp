#include "relay/metrics/scrape_connection.h"

#include <array>
#include <chrono>
#include <string_view>

#include "asio/read_until.hpp"
#include "asio/write.hpp"
#include "relay/metrics/scrape_set.h"

namespace {

constexpr std::size_t MaxHeadBytes = 8192;
// A scraper or a balancer's check sends its request with the connection, and gives up on its
// answer within a second or so; a connection still silent after this much is not one of them.
constexpr auto HeadTimeout = std::chrono::seconds(2);
// The answer fits the socket's send buffer, so it is written at once; a client that has it
// closes at once too.
constexpr auto CloseTimeout = std::chrono::seconds(2);
constexpr std::size_t DrainChunk = 1024;

constexpr std::string_view HeadStart =
    "HTTP/1.0 200 OK\r\n"
    "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
    "Content-Length: ";
constexpr std::string_view HeadEnd = "\r\nConnection: close\r\n\r\n";

}  // namespace

ScrapeConnection::ScrapeConnection(asio::ip::tcp::socket socket, ScrapeSet& set,
                                   const std::function<std::string()>& exposition)
    : Socket(std::move(socket)),
      Deadline(Socket.get_executor()),
      Set(set),
      Exposition(exposition) {}

void ScrapeConnection::Start() {
  Deadline.expires_after(HeadTimeout);
  WatchDeadline();
  ReadHead();
}

void ScrapeConnection::Stop() {
  std::error_code ignored;
  Socket.close(ignored);
  Deadline.cancel();
}

void ScrapeConnection::ReadHead() {
  asio::async_read_until(Socket, asio::dynamic_buffer(Received, MaxHeadBytes), "\r\n\r\n",
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                           if (!self->Socket.is_open()) return;
                           // A head too long, a peer gone, a failed read: no answer.
                           if (error) {
                             self->Set.Stop(*self);
                           } else {
                             self->Answer();
                           }
                         });
}

void ScrapeConnection::Answer() {
  try {
    Body = Exposition();
    Head.assign(HeadStart).append(std::to_string(Body.size())).append(HeadEnd);
  } catch (...) {
    // The relay's loop must go on; this scraper gets no answer.
    Set.Stop(*this);
    return;
  }
  // A HEAD request is told what a GET would be, the text's length included, and given no text.
  if (Received.starts_with("HEAD ")) Body.clear();
  Deadline.expires_after(CloseTimeout);
  Stage = Phase::Writing;
  const std::array<asio::const_buffer, 2> answer{asio::buffer(Head), asio::buffer(Body)};
  asio::async_write(Socket, answer,
                    [self = shared_from_this()](const std::error_code& error, std::size_t) {
                      if (!self->Socket.is_open()) return;
                      if (error) {
                        self->Set.Stop(*self);
                        return;
                      }
                      self->Stage = Phase::Answered;
                      std::error_code ignored;
                      self->Socket.shutdown(asio::socket_base::shutdown_send, ignored);
                      self->Drain();
                    });
}

// Closing with bytes from the client still unread would send a reset, and a reset can destroy
// the answer in the client's buffers before it has read it. So the connection reads and drops
// what comes until the client closes or CloseTimeout runs out.
void ScrapeConnection::Drain() {
  Received.resize(DrainChunk);
  Socket.async_read_some(asio::buffer(Received),
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                           if (!self->Socket.is_open()) return;
                           if (error) {
                             self->Set.Stop(*self);
                           } else {
                             self->Drain();
                           }
                         });
}

// One timer for every phase: a new phase moves its expiry, which wakes this handler early, and
// the handler then waits on for the new expiry instead of ending the connection.
void ScrapeConnection::WatchDeadline() {
  Deadline.async_wait([self = shared_from_this()](const std::error_code&) {
    if (!self->Socket.is_open()) return;
    if (self->Deadline.expiry() <= asio::steady_timer::clock_type::now()) {
      self->Set.Stop(*self);
    } else {
      self->WatchDeadline();
    }
  });
}
