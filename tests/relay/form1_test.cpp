#include <gtest/gtest.h>

#include "support/relay_fakes.h"

class RelayTest : public ::testing::Test, protected FakeRelay {};

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

TEST_F(RelayTest, TheKeepAliveCadenceHoldsAcrossTheDailyWrapOfTheTickCounter) {
  const ElementIndex client = Subscribe("");
  for (int tick = 1; tick <= 86400 + 5; ++tick) form.tmrKeepAlive_Timer();
  EXPECT_EQ(sockets.elements[client].sent.size(), 1u + (86400 + 5) / 5);
  EXPECT_EQ(form.TickCount(), 5);
}
