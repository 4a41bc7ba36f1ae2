#include "relay/relay_fixture.h"

namespace {

using AdmissionTest = RelayTest;

TEST_F(AdmissionTest, FirstClientTakesElementOneAndIsLogged) {
  EXPECT_EQ(Connect("192.168.1.20"), 1);
  EXPECT_EQ(sockets.HighestIndex(), 1);
  EXPECT_TRUE(log.Has(1, "Destination connection request from:192.168.1.20"));
  EXPECT_TRUE(log.Has(3, "Connected to Winsock(1)"));
  EXPECT_EQ(form.Session(1).LastActivity, clock.Now());
}

TEST_F(AdmissionTest, TakesTheLowestClosedElementAndGrowsOnlyWhenNoneIsClosed) {
  EXPECT_EQ(Connect(), 1);
  EXPECT_EQ(Connect(), 2);
  EXPECT_EQ(Connect(), 3);
  form.wSession_Close(2);
  form.wSession_Close(1);
  EXPECT_EQ(Connect(), 1);
  EXPECT_EQ(Connect(), 2);
  EXPECT_EQ(sockets.HighestIndex(), 3);
  EXPECT_EQ(Connect(), 4);
}

TEST_F(AdmissionTest, StaleElementIsClearedForTheNextSearchButNotChosen) {
  const ElementIndex stale = Subscribe("TextFilter=x");
  sockets.elements[stale].state = SocketState::Error;
  EXPECT_EQ(Connect(), 2);
  EXPECT_EQ(sockets.elements[stale].closeCalls, 1);
  EXPECT_FALSE(form.Session(stale).Streaming);
  EXPECT_TRUE(form.Session(stale).RequestBuffer.empty());
  EXPECT_EQ(Connect(), 1);
}

TEST_F(AdmissionTest, ReusedElementStartsAsANewClient) {
  const ElementIndex first = Subscribe("TextFilter=old");
  form.wSession_Close(first);
  ASSERT_EQ(Connect(), first);
  EXPECT_FALSE(form.Session(first).Streaming);
  Event("old event");
  EXPECT_EQ(SentCount(first), 1u);  // only the first client's header
  Receive(first, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(SentCount(first), 2u);
}

TEST_F(AdmissionTest, RequestsOnOtherElementsAreIgnored) {
  form.wSession_ConnectionRequest(1, 99);
  EXPECT_EQ(sockets.HighestIndex(), 0);
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(AdmissionTest, RefusesWhenAllElementsAreInUseAndKeepsRunning) {
  while (sockets.HighestIndex() < MaxElementIndex) {
    sockets.AddElement();
    sockets.elements.back().state = SocketState::Connected;
  }
  // A relay whose table matches the full array.
  Form1 full(settings, {sockets, datagrams, log, clock, status, [] { return false; }, [] {}});
  sockets.pendingPeer = "10.9.9.9";
  full.wSession_ConnectionRequest(0, 7);
  EXPECT_EQ(sockets.HighestIndex(), MaxElementIndex);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_TRUE(log.Has(1, "Destination connection request from:10.9.9.9"));
  full.wSession_Close(MaxElementIndex);
  full.wSession_ConnectionRequest(0, 8);
  EXPECT_EQ(sockets.elements[MaxElementIndex].acceptedRequest, 8);
}

}  // namespace
