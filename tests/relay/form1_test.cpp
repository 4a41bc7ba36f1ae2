#include "relay/relay_fixture.h"

using namespace std::chrono_literals;

TEST_F(RelayTest, AFullArrayRefusesTheConnectionAndKeepsRunning) {
  sockets.elements.resize(MaxElementIndex + 1, {SocketState::Connected, "", {}});
  Form1 full(settings, {sockets, datagrams, host, clock, host, [] { return false; }, [] {}});
  full.wSession_ConnectionRequest(0, 7);  // refused: no element is free and none can be added
  full.wSession_Close(MaxElementIndex);
  full.wSession_ConnectionRequest(0, 8);
  EXPECT_EQ(sockets.accepted, (std::pair<RequestId, ElementIndex>{8, MaxElementIndex}));
  EXPECT_EQ(sockets.HighestIndex(), MaxElementIndex);
  full.CloseIdle();  // a walk over the whole array ends there, or the fake throws
}

TEST_F(RelayTest, EachTickClosesIdleClientsThenCountsAndEveryFifthSendsAKeepAlive) {
  const ElementIndex early = Subscribe("TextFilter=never");
  const ElementIndex pending = Connect();
  clock.Advance(11s);
  for (int tick = 1; tick <= 4; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(std::pair(SentCount(early), sockets.State(pending)),
            std::pair(1ul, SocketState::Closed));
  const ElementIndex late = Subscribe("");  // streaming just before the fifth tick
  form.tmrKeepAlive_Timer();
  EXPECT_EQ(host.shown, std::vector<int>({1, 1, 1, 1, 2}));
  ASSERT_EQ(SentCount(early) + SentCount(late), 4u);
  EXPECT_EQ(sockets.elements[early].sent[1], sockets.elements[late].sent[1]);
  EXPECT_TRUE(sockets.elements[late].sent[1]->starts_with("Content-Type: text/keepalive\r\n"));
  const ElementIndex waiting = Connect();
  stopRequested = true;  // a tick that sees it shuts down and does nothing else
  clock.Advance(11s);
  for (int tick = 6; tick <= 10; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(std::tuple(shutdowns, host.shown.size(), SentCount(late), form.TickCount(),
                       sockets.State(waiting)),
            std::tuple(5, 5u, 2u, 5, SocketState::Connected));
}

TEST_F(RelayTest, TheKeepAliveCadenceHoldsAcrossTheDailyWrapOfTheTickCounter) {
  const ElementIndex client = Subscribe("");
  for (int tick = 1; tick <= Form1::TicksPerDay + 5; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(SentCount(client), 1u + (Form1::TicksPerDay + 5) / 5);
  EXPECT_EQ(form.TickCount(), 5);
}
