#include "relay/relay_fixture.h"

namespace {

using namespace std::chrono_literals;
using TeardownTest = RelayTest;

TEST_F(TeardownTest, PendingClientIsClosedOnlyWhenMoreThanTenSecondsHavePassed) {
  const ElementIndex pending = Connect();
  Receive(pending, "GET /?a=1 HTTP/1.0\r\n");
  clock.Advance(10s);
  form.CloseIdle();
  EXPECT_EQ(sockets.State(pending), SocketState::Connected);  // exactly ten seconds: stays
  clock.Advance(1ms);
  form.CloseIdle();
  EXPECT_EQ(sockets.State(pending), SocketState::Closed);
  EXPECT_TRUE(log.Has(3, "Connection(1).Closed by host"));
  EXPECT_TRUE(form.Session(pending).RequestBuffer.empty());
  EXPECT_EQ(Connect(), pending);
}

TEST_F(TeardownTest, DataDoesNotExtendTheIdleTime) {
  const ElementIndex pending = Connect();
  for (int i = 0; i < 4; ++i) {
    clock.Advance(3s);
    Receive(pending, "X-Header: more\r\n");
    form.CloseIdle();
  }
  EXPECT_EQ(sockets.State(pending), SocketState::Closed);
}

TEST_F(TeardownTest, StreamingClientsAreNeverClosedForIdleness) {
  const ElementIndex streaming = Subscribe("");
  const ElementIndex pending = Connect();
  clock.Advance(5h);
  form.CloseIdle();
  EXPECT_EQ(sockets.State(streaming), SocketState::Connected);
  EXPECT_EQ(sockets.State(pending), SocketState::Closed);
}

TEST_F(TeardownTest, PeerCloseClosesTheElementAndClearsTheRecord) {
  Connect();
  Connect();
  const ElementIndex third = Subscribe("TextFilter=x");
  form.wSession_Close(third);
  EXPECT_TRUE(log.Has(3, "Connection(3).Closed by peer"));
  EXPECT_EQ(sockets.State(third), SocketState::Closed);
  EXPECT_FALSE(form.Session(third).Streaming);
  EXPECT_TRUE(form.Session(third).RequestBuffer.empty());
}

TEST_F(TeardownTest, SocketErrorIsOnlyLogged) {
  Connect();
  const ElementIndex second = Subscribe("");
  form.wSession_Error(second, 10054, "Connection reset by peer");
  EXPECT_TRUE(log.Has(3, "Connection(2).Error Connection reset by peer"));
  EXPECT_EQ(sockets.elements[second].closeCalls, 0);
  EXPECT_TRUE(form.Session(second).Streaming);
}

TEST_F(TeardownTest, EventsOnTheListenerNeverCloseIt) {
  form.wSession_Close(0);
  form.wSession_Error(0, 1, "listener trouble");
  EXPECT_EQ(sockets.State(0), SocketState::Listening);
  EXPECT_EQ(sockets.elements[0].closeCalls, 0);
  form.CloseIdle();  // no client element at all
  EXPECT_EQ(sockets.HighestIndex(), 0);
}

}  // namespace
