#include "relay/metrics_listener.h"

#include <chrono>
#include <memory>

#include "asio/ip/v6_only.hpp"

namespace {
constexpr auto AcceptRetryDelay = std::chrono::milliseconds(100);
}

MetricsListener::MetricsListener(asio::io_context& io, std::function<std::string()> exposition)
    : Exposition(std::move(exposition)), Acceptor(io), AcceptRetry(io) {}

void MetricsListener::Listen(const asio::ip::address& address, std::uint16_t port) {
  const asio::ip::tcp::endpoint endpoint(address, port);
  Acceptor.open(endpoint.protocol());
  // As for the client port: a restarted relay can listen while old connections linger.
  Acceptor.set_option(asio::socket_base::reuse_address(true));
  if (address == asio::ip::address(asio::ip::address_v6::any())) {
    // "::" then takes IPv4 scrapes too, where the host lets one socket serve both families;
    // where it does not, the port serves IPv6 alone.
    std::error_code ignored;
    Acceptor.set_option(asio::ip::v6_only(false), ignored);
  }
  Acceptor.bind(endpoint);
  Acceptor.listen();
}

void MetricsListener::Start() {
  AcceptNext();
}

void MetricsListener::Close() {
  std::error_code ignored;
  Acceptor.close(ignored);
  AcceptRetry.cancel();
  Scrapes.StopAll();
}

void MetricsListener::AcceptNext() {
  Acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket peer) {
    OnAccepted(error, std::move(peer));
  });
}

void MetricsListener::OnAccepted(const std::error_code& error, asio::ip::tcp::socket peer) {
  // A connection accepted just before Close is dropped with the rest.
  if (error == asio::error::operation_aborted || !Acceptor.is_open()) return;
  if (error) {
    // Typically out of file descriptors: try again shortly instead of spinning.
    AcceptRetry.expires_after(AcceptRetryDelay);
    AcceptRetry.async_wait([this](const std::error_code& waitError) {
      if (!waitError) AcceptNext();
    });
    return;
  }
  Scrapes.Start(std::make_shared<ScrapeConnection>(std::move(peer), Scrapes, Exposition));
  AcceptNext();
}
