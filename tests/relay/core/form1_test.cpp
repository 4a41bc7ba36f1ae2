#include <gtest/gtest.h>

#include "support/relay_fakes.h"

class RelayTest : public ::testing::Test, protected FakeRelay {};

TEST_F(RelayTest, AFullArrayRefusesTheConnectionAndKeepsRunning) {
  sockets.elements.resize(MaxElementIndex + 1, {SocketState::Connected, "", {}});
  Form1 full(settings, {sockets, datagrams, host, clock, host, [] { return false; }, [] {}});
  full.wSession_ConnectionRequest(0, 7);  // refused: no element is free and none can be added
  EXPECT_EQ(full.Sample().Counters.SessionsEnded[static_cast<int>(SessionEnd::ArrayFull)], 1u);
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

TEST_F(RelayTest, AClientOnItsWayThroughTheKeptEventsIsToldOfThoseTheRingLetGoMeanwhile) {
  const auto events = [&](int count) {
    for (datagrams.text.assign(60000, 'x'); count > 0; --count) form.wListen_DataArrival(60000);
  };
  const std::string stream = "GET / HTTP/1.0\r\nAccept: text/event-stream\r\n";
  const ElementIndex first = Connect(), late = Connect();
  Receive(first, stream + "\r\n");
  events(21);  // 1.2 MB after the first, more than one batch
  const std::string& sent = *sockets.elements[first].sent[1];
  Receive(late, stream + "Last-Event-ID: " + sent.substr(4, sent.find('\n') - 4) + "\r\n\r\n");
  events(1200);  // 72 MB: past what the ring holds
  form.wSession_SendComplete(late);
  // After the header and a first batch of five events (256 KiB).
  EXPECT_TRUE(sockets.elements[late].sent.at(6)->starts_with("event: missed\ndata: {\"missed\":"));
}
