#include "relay/relay_fixture.h"
#include "relay/stream_format.h"

namespace {

using namespace std::chrono_literals;
using TickTest = RelayTest;

bool IsKeepAlive(const SharedBytes& part) {
  return part->rfind("Content-Type: text/keepalive", 0) == 0;
}

TEST_F(TickTest, KeepAliveGoesToStreamingSessionsOnEveryFifthTick) {
  const ElementIndex first = Subscribe("");
  const ElementIndex pending = Connect();
  const ElementIndex second = Subscribe("TextFilter=never");
  for (int tick = 1; tick <= 4; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(SentCount(first), 1u);
  form.tmrKeepAlive_Timer();
  ASSERT_EQ(SentCount(first), 2u);
  EXPECT_TRUE(IsKeepAlive(sockets.elements[first].sent[1]));
  EXPECT_EQ(*sockets.elements[first].sent[1], *KeepAlivePart(LocalDateTimeText(clock.Now())));
  EXPECT_EQ(sockets.elements[first].sent[1], sockets.elements[second].sent[1]);
  EXPECT_EQ(SentCount(pending), 0u);
  EXPECT_EQ(status.shown, std::vector<int>({2, 2, 2, 2, 2}));
  for (int tick = 6; tick <= 10; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(SentCount(second), 3u);
}

TEST_F(TickTest, ASessionThatStartsStreamingGetsItsFirstKeepAliveWithinFiveTicks) {
  for (int tick = 1; tick <= 5; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(status.shown.back(), 0);
  const ElementIndex late = Subscribe("");
  for (int tick = 6; tick <= 9; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(SentCount(late), 1u);
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(SentCount(late), 2u);
}

TEST_F(TickTest, CounterWrapsAtOneDayKeepingTheFiveTickCadence) {
  const ElementIndex client = Subscribe("");
  for (int tick = 1; tick < Form1::TicksPerDay; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(form.TickCount(), 86399);
  const std::size_t before = SentCount(client);
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(form.TickCount(), 0);
  EXPECT_EQ(SentCount(client), before + 1);
  EXPECT_EQ(before, 1u + 86395 / 5);
}

TEST_F(TickTest, StopRequestShutsDownAndDoesNothingElse) {
  const ElementIndex client = Subscribe("");
  const ElementIndex pending = Connect();
  for (int tick = 1; tick <= 4; ++tick) form.tmrKeepAlive_Timer();
  clock.Advance(11s);
  service.stopRequested = true;
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(shutdowns, 1);
  EXPECT_EQ(form.TickCount(), 4);
  EXPECT_EQ(status.shown.size(), 4u);
  EXPECT_EQ(SentCount(client), 1u);
  EXPECT_EQ(sockets.State(pending), SocketState::Connected);
}

TEST_F(TickTest, EachTickClosesIdleClientsBeforeCounting) {
  const ElementIndex pending = Connect();
  Subscribe("");
  clock.Advance(10s);
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(sockets.State(pending), SocketState::Connected);
  clock.Advance(1s);
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(sockets.State(pending), SocketState::Closed);
  EXPECT_EQ(status.shown, std::vector<int>({1, 1}));
}

}  // namespace
