#include "relay/relay_fixture.h"
#include "relay/stream_format.h"

namespace {

using FanOutTest = RelayTest;

// Event parts a session received, as their bodies.
std::vector<std::string> Events(const FakeSessionSockets& sockets, ElementIndex index) {
  std::vector<std::string> bodies;
  const std::string prefix = "Content-Type: text/x-zelva-event\r\n\r\n";
  for (const SharedBytes& part : sockets.elements.at(index).sent) {
    if (part->rfind(prefix, 0) == 0)
      bodies.push_back(part->substr(prefix.size(), part->size() - prefix.size() - 20));
  }
  return bodies;
}

TEST_F(FanOutTest, EmptyDatagramIsIgnoredAndEveryOtherIsLogged) {
  const ElementIndex client = Subscribe("");
  log.lines.clear();
  Event("");
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(SentCount(client), 1u);

  datagrams.senderPort = 40001;
  Event("door open", "10.0.0.7");
  EXPECT_TRUE(log.Has(
      1,
      "wListen_DataArrival: Remotehost:host-10.0.0.7 / RemotehostIP:10.0.0.7 / RemotePort:40001"));
  EXPECT_TRUE(log.Has(1, "door open"));
}

TEST_F(FanOutTest, FailedReadIsLoggedAtLevelTen) {
  Subscribe("");
  log.lines.clear();
  datagrams.failure = std::make_error_code(std::errc::connection_refused);
  form.wListen_DataArrival(0);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].level, 10);
  EXPECT_EQ(log.lines[0].text, "ListenSock error: " + datagrams.failure.message());
  EXPECT_EQ(sockets.sendOrder.size(), 1u);  // only the header
}

TEST_F(FanOutTest, OnlyStreamingSessionsReceive) {
  const ElementIndex pending = Connect();
  const ElementIndex streaming = Subscribe("");
  const ElementIndex broken = Subscribe("");
  sockets.elements[broken].state = SocketState::Error;
  Event("e1");
  EXPECT_EQ(SentCount(pending), 0u);
  EXPECT_EQ(Events(sockets, streaming), std::vector<std::string>({"e1"}));
  EXPECT_EQ(SentCount(broken), 1u);
  EXPECT_EQ(SentCount(0), 0u);
}

TEST_F(FanOutTest, SourceFilterIsExactEqualityAndTextFilterACaseSensitiveSubstring) {
  const ElementIndex bySource = Subscribe("source_ip=10.0.0.5");
  const ElementIndex byText = Subscribe("TextFilter=ALARM");
  const ElementIndex both = Subscribe("SOURCE_IP=10.0.0.5&textfilter=ALARM");
  const ElementIndex literal = Subscribe("TextFilter=a%20b");
  const ElementIndex hostName = Subscribe("source_ip=localhost");
  const ElementIndex lastWins = Subscribe("TextFilter=zzz&TextFilter=ALARM&source_ip=");

  Event("ALARMS on line 3", "10.0.0.5");
  Event("ALARMS on line 4", "10.0.0.50");
  Event("alarm on line 3", "10.0.0.5");
  Event("a b and a%20b", "127.0.0.1");

  using Bodies = std::vector<std::string>;
  EXPECT_EQ(Events(sockets, bySource), Bodies({"ALARMS on line 3", "alarm on line 3"}));
  EXPECT_EQ(Events(sockets, byText), Bodies({"ALARMS on line 3", "ALARMS on line 4"}));
  EXPECT_EQ(Events(sockets, both), Bodies({"ALARMS on line 3"}));
  EXPECT_EQ(Events(sockets, literal), Bodies({"a b and a%20b"}));
  EXPECT_EQ(Events(sockets, hostName), Bodies());
  EXPECT_EQ(Events(sockets, lastWins), Bodies({"ALARMS on line 3", "ALARMS on line 4"}));
}

TEST_F(FanOutTest, MatchingSessionsShareOnePartInAscendingOrder) {
  const ElementIndex first = Subscribe("TextFilter=x");
  const ElementIndex skipped = Subscribe("TextFilter=nomatch");
  const ElementIndex third = Subscribe("");
  sockets.sendOrder.clear();
  Event("x marks");
  EXPECT_EQ(sockets.sendOrder, std::vector<ElementIndex>({first, third}));
  EXPECT_EQ(SentCount(skipped), 1u);
  EXPECT_EQ(sockets.elements[first].sent.back(), sockets.elements[third].sent.back());
  EXPECT_EQ(*sockets.elements[first].sent.back(), *EventPart("x marks", true));
}

}  // namespace
