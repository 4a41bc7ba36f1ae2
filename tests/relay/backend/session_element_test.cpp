#include "relay/backend/session_element.h"

#include <gtest/gtest.h>

#include "support/relay_fakes.h"

// An element reused at once: the wait of its earlier connection, cancelled by the close, is
// still queued when the next connection arrives. It must not touch the new connection.
TEST(SessionElement, ACompletionForAnEarlierConnectionLeavesTheNextOneAlone) {
  asio::io_context io;
  FakeRelay relay;  // its log counts the lines the error event would write
  EventDelivery delivery(relay.host);
  delivery.HandTo(relay.form);
  ElementArrayState array{io, delivery, 1 << 20, {}, {}};
  SessionElement element(array, 1);
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket firstPeer(io), secondPeer(io);
  firstPeer.connect(acceptor.local_endpoint());
  element.Attach(acceptor.accept());
  element.Close();
  secondPeer.connect(acceptor.local_endpoint());
  element.Attach(acceptor.accept());
  io.poll();
  EXPECT_EQ(element.State(), SocketState::Connected);
  EXPECT_EQ(relay.host.lines, 0);
}
