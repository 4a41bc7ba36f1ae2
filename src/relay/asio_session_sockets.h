#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "asio/io_context.hpp"
#include "asio/ip/tcp.hpp"
#include "asio/steady_timer.hpp"
#include "relay/send_queue.h"
#include "relay/socket_control.h"

// The wSession element array over Asio. Element 0 is the listening socket; every other element
// owns one TCP socket and the queue of parts waiting for it.
//
// Sends are queued and written after the event handler that made them returns, with gather
// writes on non-blocking sockets; a socket that cannot take more is waited on for writability
// while other sessions go on. A session whose queue passes the send limit is failed at once.
class AsioSessionSockets final : public SessionSockets {
 public:
  AsioSessionSockets(asio::io_context& io, std::size_t sendLimitBytes);
  ~AsioSessionSockets() override;

  // Listens on every local IPv4 address; throws std::system_error.
  void Listen(std::uint16_t port);
  void Start(SocketEvents& events);
  void CloseAll();

  // Runs one event handler so that nothing it throws reaches the event loop.
  template <class Handler>
  void Deliver(Handler&& handler) {
    try {
      handler();
    } catch (const std::exception& failure) {
      ReportHandlerFailure(failure);
    }
  }
  // Writes what the last handlers queued.
  void FlushPendingWrites();

  ElementIndex HighestIndex() const override;
  void AddElement() override;
  int State(ElementIndex index) const override;
  std::string RemoteHostIP(ElementIndex index) const override;
  void Accept(ElementIndex index, RequestId requestID) override;
  std::string GetData(ElementIndex index) override;
  void SendData(ElementIndex index, SharedBytes bytes) override;
  void Close(ElementIndex index) override;

 private:
  struct Element;

  void AcceptNext();
  void OnAccepted(const std::error_code& error);
  void WaitReadable(ElementIndex index);
  void OnReadable(ElementIndex index, std::uint64_t generation, const std::error_code& error);
  void WaitWritable(ElementIndex index);
  void WriteQueued(ElementIndex index);
  void Fail(ElementIndex index, const std::error_code& error, const std::string& description);
  void ReportHandlerFailure(const std::exception& failure);
  Element& At(ElementIndex index) const;

  asio::io_context& Io;
  std::size_t SendLimitBytes;
  asio::ip::tcp::acceptor Acceptor;
  asio::ip::tcp::socket Pending;
  asio::steady_timer AcceptRetry;
  RequestId PendingId = 0;
  std::string PendingPeer;
  SocketEvents* Events = nullptr;
  std::vector<std::unique_ptr<Element>> Elements;  // [0] stands for the listener
  std::vector<ElementIndex> FlushList;
  std::vector<char> ReadBuffer;  // one for all sessions: reads happen one at a time
};
