#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "asio/io_context.hpp"
#include "asio/ip/tcp.hpp"
#include "asio/steady_timer.hpp"
#include "relay/backend/session_element.h"
#include "relay/core/socket_control.h"

// The wSession element array over Asio: element 0 is the listening socket, every other element
// serves one client at a time.
//
// Sends are only queued; FlushPendingWrites writes them, with gather writes on non-blocking
// sockets, and the event loop calls it after every handler it runs, whatever the handler was, so
// a burst of events handled together costs one write per client. A socket that cannot take more
// is waited on for writability while other sessions go on. A session whose queue passes the send
// limit is failed at once.
class AsioSessionSockets final : public SessionSockets {
 public:
  AsioSessionSockets(asio::io_context& io, EventDelivery& delivery, std::size_t sendLimitBytes);

  // Listens on every local address, of both families where the host has IPv6 (unless ipv4Only),
  // of IPv4 alone where it has not; throws std::system_error.
  void Listen(std::uint16_t port, bool ipv4Only);
  // Serves on a socket already listening, as a service manager hands it over.
  void Adopt(asio::ip::tcp::acceptor::native_handle_type listener);
  // Starts taking connections; each one is offered to the relay as a ConnectionRequest.
  void Start();
  void CloseAll();
  // Takes no more connections, lets the clients take what is queued for them for at most limit,
  // then closes every element and calls done.
  void CloseOnceSent(std::chrono::steady_clock::duration limit, std::function<void()> done);
  void FlushPendingWrites();

  ElementIndex HighestIndex() const override;
  void AddElement() override;
  SocketState State(ElementIndex index) const override;
  ElementIndex NextUnconnected(ElementIndex after) const override;
  std::string RemoteHostIP(ElementIndex index) const override;
  NetAddress RemoteAddress(ElementIndex index) const override;
  void Accept(ElementIndex index, RequestId requestID) override;
  std::string GetData(ElementIndex index) override;
  void SendData(ElementIndex index, SharedBytes bytes) override;
  void NotifyWhenSent(ElementIndex index) override;
  void Close(ElementIndex index) override;
  std::uint64_t BytesSent() const override { return Array.BytesSent; }
  int ClientNotReadingError() const override { return ClientNotReading.value(); }

 private:
  void AcceptNext();
  void OnAccepted(const std::error_code& error);
  // Offers the connection in Pending to the relay, and refuses it if the relay did not take it.
  void OfferPending();
  void CloseWhenSent(std::chrono::steady_clock::time_point deadline, std::function<void()> done);
  static constexpr int MaxAcceptsPerTurn = 64;
  SessionElement& At(ElementIndex index) const;

  ElementArrayState Array;
  asio::ip::tcp::acceptor Acceptor;
  // The connection being offered to the relay, and the number it is offered under.
  asio::ip::tcp::socket Pending;
  RequestId PendingId = 0;
  std::optional<NetAddress> PendingPeer;  // unknown when the peer left before it was asked
  asio::steady_timer AcceptRetry;
  asio::steady_timer Drain;  // paces the checks of CloseOnceSent
  std::vector<std::unique_ptr<SessionElement>> Elements;  // [i - 1] is element i
};
