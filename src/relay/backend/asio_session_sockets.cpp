#include "relay/backend/asio_session_sockets.h"

#include <algorithm>

#include "relay/backend/accept_failure.h"
#include "relay/backend/asio_address.h"
#include "relay/backend/dual_stack.h"
#include "relay/backend/exclusive_bind.h"

AsioSessionSockets::AsioSessionSockets(asio::io_context& io, EventDelivery& delivery,
                                       std::size_t sendLimitBytes)
    : Array{io, delivery, sendLimitBytes, {}, {}},
      Acceptor(io),
      Pending(io),
      AcceptRetry(io),
      Drain(io) {}

void AsioSessionSockets::Listen(std::uint16_t port, bool ipv4Only) {
  OpenOnEveryAddress(Acceptor, port, ipv4Only, [&] { PrepareExclusiveBind(Acceptor); });
  Acceptor.listen(asio::socket_base::max_listen_connections);
  Acceptor.non_blocking(true);  // for the connections that wait behind the one accepted
}

void AsioSessionSockets::Adopt(asio::ip::tcp::acceptor::native_handle_type listener) {
  AdoptBound(Acceptor, listener);
  Acceptor.non_blocking(true);
}

void AsioSessionSockets::Start() {
  AcceptNext();
}

void AsioSessionSockets::CloseAll() {
  std::error_code ignored;
  Acceptor.close(ignored);
  AcceptRetry.cancel();
  for (const auto& element : Elements) element->Close();
}

void AsioSessionSockets::CloseOnceSent(std::chrono::steady_clock::duration limit,
                                       std::function<void()> done) {
  std::error_code ignored;
  Acceptor.close(ignored);
  AcceptRetry.cancel();
  CloseWhenSent(std::chrono::steady_clock::now() + limit, std::move(done));
}

// A stop is rare and short, so a look at every element now and then serves better than keeping
// count of the queues that are not empty on every send.
void AsioSessionSockets::CloseWhenSent(std::chrono::steady_clock::time_point deadline,
                                       std::function<void()> done) {
  const bool sent = std::none_of(Elements.begin(), Elements.end(),
                                 [](const auto& element) { return element->Sending(); });
  if (sent || std::chrono::steady_clock::now() >= deadline) {
    CloseAll();
    return done();
  }
  Drain.expires_after(std::chrono::milliseconds(10));
  Drain.async_wait([this, deadline, done = std::move(done)](const std::error_code& error) {
    if (!error) CloseWhenSent(deadline, done);
  });
}

void AsioSessionSockets::FlushPendingWrites() {
  // By position: a failing write fails its element but never adds to the list.
  std::vector<SessionElement*>& pending = Array.PendingWrites;
  for (std::size_t i = 0; i < pending.size(); ++i) pending[i]->Flush();
  pending.clear();
}

void AsioSessionSockets::AcceptNext() {
  Acceptor.async_accept(Pending, [this](const std::error_code& error) { OnAccepted(error); });
}

void AsioSessionSockets::OnAccepted(const std::error_code& error) {
  if (AcceptFailed(error, Acceptor, AcceptRetry, [this] { AcceptNext(); })) return;
  // The connections already waiting are offered in the same turn, up to a bound, so that clients
  // reconnecting together (after a relay of a group failed, say) are not admitted one per turn of
  // a loop that is busy with events.
  std::error_code next;
  for (int offered = 1; !next; ++offered) {
    OfferPending();
    if (offered == MaxAcceptsPerTurn) break;
    Acceptor.accept(Pending, next);  // would_block once none waits; a failure shows again below
  }
  AcceptNext();
}

void AsioSessionSockets::OfferPending() {
  ++PendingId;
  std::error_code peerError;
  const auto peer = Pending.remote_endpoint(peerError);
  PendingPeer.reset();
  if (!peerError) PendingPeer = ToNetAddress(peer.address());
  Array.Delivery.Deliver([&] { Array.Delivery.Events().wSession_ConnectionRequest(0, PendingId); });
  // A connection the relay did not accept is refused.
  if (Pending.is_open()) {
    std::error_code ignored;
    Pending.close(ignored);
  }
}

ElementIndex AsioSessionSockets::HighestIndex() const {
  return static_cast<ElementIndex>(Elements.size());
}

void AsioSessionSockets::AddElement() {
  const auto index = static_cast<ElementIndex>(Elements.size() + 1);
  Elements.push_back(std::make_unique<SessionElement>(Array, index));
}

SessionElement& AsioSessionSockets::At(ElementIndex index) const {
  return *Elements.at(static_cast<std::size_t>(index) - 1);
}

SocketState AsioSessionSockets::State(ElementIndex index) const {
  if (index == 0) return Acceptor.is_open() ? SocketState::Listening : SocketState::Closed;
  return At(index).State();
}

ElementIndex AsioSessionSockets::NextUnconnected(ElementIndex after) const {
  return Array.Unconnected.Next(after);
}

std::string AsioSessionSockets::RemoteHostIP(ElementIndex index) const {
  return index == 0 && PendingPeer ? AddressText(*PendingPeer) : std::string();
}

NetAddress AsioSessionSockets::RemoteAddress(ElementIndex index) const {
  return index == 0 && PendingPeer ? *PendingPeer : NetAddress{};
}

void AsioSessionSockets::Accept(ElementIndex index, RequestId requestID) {
  if (index == 0 || requestID != PendingId || !Pending.is_open()) return;
  At(index).Attach(std::move(Pending));
}

std::string AsioSessionSockets::GetData(ElementIndex index) {
  return At(index).TakeReceived();
}

void AsioSessionSockets::SendData(ElementIndex index, SharedBytes bytes) {
  At(index).Send(std::move(bytes));
}

void AsioSessionSockets::NotifyWhenSent(ElementIndex index) {
  At(index).NotifyWhenSent();
}

void AsioSessionSockets::Close(ElementIndex index) {
  At(index).Close();
}
