#include "relay/metrics/metrics_listener.h"

#include <memory>

#include "asio/ip/v6_only.hpp"
#include "relay/backend/accept_failure.h"
#include "relay/backend/exclusive_bind.h"

MetricsListener::MetricsListener(asio::io_context& io, std::function<std::string()> exposition)
    : Exposition(std::move(exposition)), Acceptor(io), AcceptRetry(io) {}

void MetricsListener::Listen(const asio::ip::address& address, std::uint16_t port) {
  const asio::ip::tcp::endpoint endpoint(address, port);
  Acceptor.open(endpoint.protocol());
  PrepareExclusiveBind(Acceptor);
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
  if (AcceptFailed(error, Acceptor, AcceptRetry, [this] { AcceptNext(); })) return;
  Scrapes.Start(std::make_shared<ScrapeConnection>(std::move(peer), Scrapes, Exposition));
  AcceptNext();
}
