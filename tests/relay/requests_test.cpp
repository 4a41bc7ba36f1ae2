#include "relay/relay_fixture.h"
#include "relay/stream_format.h"

namespace {

using RequestTest = RelayTest;

TEST_F(RequestTest, CompleteRequestIsAnsweredOnceWithTheHeader) {
  const ElementIndex client = Connect();
  Receive(client, "GET /?source_ip=10.0.0.5&TextFilter=ALARM HTTP/1.0\r\n\r\n");
  ASSERT_EQ(SentCount(client), 1u);
  EXPECT_EQ(sockets.elements[client].sent[0], ResponseHeader());
  EXPECT_TRUE(form.Session(client).Streaming);
  EXPECT_EQ(GetParam(form.Session(client).Params, "textfilter"), "ALARM");
  EXPECT_TRUE(log.Has(
      1, "Connection(1).GetData: GET /?source_ip=10.0.0.5&TextFilter=ALARM HTTP/1.0\r\n\r\n"));
}

TEST_F(RequestTest, RequestSplitAcrossArrivalsIsAnsweredWhenTheEmptyLineCompletes) {
  const ElementIndex client = Connect();
  for (const char* piece : {"GET /?Text", "Filter=x HTTP/1.0\r\nHost: h\r\n", "\r"}) {
    Receive(client, piece);
    EXPECT_EQ(SentCount(client), 0u);
  }
  Receive(client, "\n");
  EXPECT_EQ(SentCount(client), 1u);
  EXPECT_EQ(GetParam(form.Session(client).Params, "TextFilter"), "x");
}

TEST_F(RequestTest, ArrivalLimitAndBufferLimitApplyInTheirOrder) {
  const ElementIndex client = Connect();
  Receive(client, std::string(1001, 'a'));  // dropped, session stays
  EXPECT_TRUE(form.Session(client).RequestBuffer.empty());
  EXPECT_EQ(sockets.State(client), SocketState::Connected);
  Receive(client, std::string(999, 'b'));
  Receive(client, std::string(996, 'c') + "\r\n\r\n");  // exactly 1000, completes at 1999
  EXPECT_EQ(form.Session(client).RequestBuffer.size(), 1999u);
  EXPECT_TRUE(form.Session(client).Streaming);

  const ElementIndex full = Connect();
  Receive(full, std::string(1000, 'd'));
  Receive(full, "\r\n\r\n");  // the buffer already holds 1000: closed
  EXPECT_EQ(sockets.State(full), SocketState::Closed);
  EXPECT_EQ(SentCount(full), 0u);
  EXPECT_TRUE(log.Has(3, "Connection(2).Closed by host"));
}

TEST_F(RequestTest, AnythingAfterTheAnswerClosesTheSessionButOversizedArrivalsAreDropped) {
  const ElementIndex client = Subscribe("a=1");
  Receive(client, std::string(1001, 'x'));
  EXPECT_TRUE(form.Session(client).Streaming);
  Receive(client, "");
  EXPECT_TRUE(form.Session(client).Streaming);
  Receive(client, "G");
  EXPECT_EQ(sockets.State(client), SocketState::Closed);
  EXPECT_FALSE(form.Session(client).Streaming);
  EXPECT_EQ(SentCount(client), 1u);
}

TEST_F(RequestTest, RequestWithoutQueryGetsNoParametersAndTrailingTextIsParsed) {
  const ElementIndex plain = Connect();
  Receive(plain, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(form.Session(plain).Streaming);
  EXPECT_EQ(form.Session(plain).Params.size(), 1u);

  const ElementIndex pipelined = Connect();
  Receive(pipelined, "GET / HTTP/1.0\r\n\r\nGET /?TextFilter=late HTTP/1.0\r\n\r\n");
  EXPECT_EQ(GetParam(form.Session(pipelined).Params, "TextFilter"), "late");
}

TEST_F(RequestTest, LineFeedOnlyRequestIsNeverAnswered) {
  const ElementIndex client = Connect();
  Receive(client, "GET /?a=1 HTTP/1.0\n\n");
  EXPECT_FALSE(form.Session(client).Streaming);
  EXPECT_EQ(SentCount(client), 0u);
}

TEST_F(RequestTest, DataOnTheListenerIsIgnored) {
  sockets.elements[0].incoming = "GET / HTTP/1.0\r\n\r\n";
  form.wSession_DataArrival(0, 18);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(sockets.elements[0].incoming.size(), 18u);
}

}  // namespace
