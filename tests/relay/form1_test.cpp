#include <random>

#include "relay/relay_fixture.h"
#include "relay/stream_format.h"

using namespace std::chrono_literals;
using Record = std::tuple<int, bool, std::string>;
const Record Free{SocketState::Closed, false, ""};

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

TEST_F(RelayTest, OnlyAPendingClientIsClosedAndOnlyOnceMoreThanTenSecondsHavePassed) {
  const ElementIndex streaming = Subscribe("");
  const ElementIndex pending = Connect();
  for (int i = 0; i < 5; ++i) {  // data does not extend the time
    clock.Advance(2s);
    Receive(pending, "X-Header: more\r\n");
    form.CloseIdle();
  }
  EXPECT_EQ(sockets.State(pending), SocketState::Connected);  // exactly ten seconds: stays
  clock.Advance(1ms);
  form.CloseIdle();
  EXPECT_EQ(RecordOf(pending), Free);
  clock.Advance(5h);
  form.CloseIdle();
  EXPECT_EQ(sockets.State(streaming), SocketState::Connected);
}

TEST_F(RelayTest, APeerCloseClearsTheRecordButASocketErrorIsOnlyLogged) {
  const ElementIndex closing = Subscribe("TextFilter=x");
  const ElementIndex failing = Subscribe("");
  form.wSession_Close(closing);
  form.wSession_Error(failing, 10054, "Connection reset by peer");
  EXPECT_EQ(RecordOf(closing), Free);
  EXPECT_EQ(RecordOf(failing), Record({SocketState::Connected, true, "GET /? HTTP/1.0\r\n\r\n"}));
}

TEST_F(RelayTest, RequestsAreAnsweredOnceAtTheirEmptyLineWithinTheLimits) {
  using SocketState::Closed, SocketState::Connected;
  const std::string request = "GET /?a=1 HTTP/1.0\r\n\r\n";
  // Arrivals, then the element's state, whether it streams, the headers sent, the text kept.
  const std::tuple<std::vector<std::string>, int, bool, std::size_t, std::size_t> rows[] = {
      {{request}, Connected, true, 1, 22},
      {{"GET /?a=1 HTTP/1.0\n\n"}, Connected, false, 0, 20},
      {{std::string(1001, 'a')}, Connected, false, 0, 0},  // over the limit: dropped
      {{std::string(999, 'b'), std::string(996, 'c') + "\r\n\r\n"}, Connected, true, 1, 1999},
      {{std::string(1000, 'd'), "\r\n\r\n"}, Closed, false, 0, 0},
      {{request, std::string(1001, 'x'), ""}, Connected, true, 1, 22},
      {{request, "G"}, Closed, false, 1, 0},
  };
  for (const auto& [arrivals, state, streaming, headers, kept] : rows) {
    const ElementIndex client = Connect();
    for (const std::string& arrival : arrivals) Receive(client, arrival);
    EXPECT_EQ(std::tuple(sockets.State(client), form.Session(client).Streaming, SentCount(client),
                         form.Session(client).RequestBuffer.size()),
              std::tuple(state, streaming, headers, kept))
        << arrivals[0];
    for (const SharedBytes& part : sockets.elements[client].sent) EXPECT_EQ(part, ResponseHeader());
  }
}

// Random arrivals, requests, closes, socket errors and events, checked against a plain walk over
// the array: the same element admitted (the lowest closed one, stale ones before it cleared) and
// the same sessions, in ascending order, receiving one shared part. Over 4,096 elements, so that
// the sets' summaries are crossed.
TEST_F(RelayTest, AdmissionAndFanOutMatchAPlainWalkOverTheArray) {
  using SocketState::Connected;
  std::mt19937 random(1);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::string filters[] = {"", "TextFilter=x", "source_ip=10.0.0.5", "source_ip=10.0.0.9"};
  std::vector<int> filterOf(1), streams(1);  // what each client asked for, and whether it was answered
  for (int step = 0; step < 12000; ++step) {
    const int highest = sockets.HighestIndex();
    const auto i = static_cast<ElementIndex>(1 + pick(std::max(highest, 1)));
    const bool connected = highest > 0 && sockets.State(i) == Connected;
    switch (step < 4200 ? 0 : pick(5)) {
      case 0: {
        std::vector<ElementIndex> stale;
        ElementIndex expected = 1;
        for (; expected <= highest && sockets.State(expected) != SocketState::Closed; ++expected)
          if (sockets.State(expected) != Connected) stale.push_back(expected);
        ASSERT_EQ(Connect(), expected);
        for (ElementIndex e : stale) ASSERT_EQ(RecordOf(e), Free);
        filterOf.resize(sockets.elements.size());
        streams.resize(sockets.elements.size());
        streams[expected] = false;
        break;
      }
      case 1:
        if (!connected || streams[i]) break;
        filterOf[i] = pick(4);
        streams[i] = true;
        Receive(i, "GET /?" + filters[filterOf[i]] + " HTTP/1.0\r\n\r\n");
        break;
      case 2:
        if (connected) form.wSession_Close(i);
        break;
      case 3:
        if (!connected) break;
        sockets.elements[i].state = SocketState::Error;
        form.wSession_Error(i, 10054, "reset");
        break;
      default: {
        datagrams.text = pick(2) ? "x-event" : "y-event";
        std::vector<ElementIndex> expected;
        for (ElementIndex e = 1; e <= highest; ++e) {
          if (sockets.State(e) != Connected || !streams[e]) continue;
          if (filterOf[e] == 3 || (filterOf[e] == 1 && datagrams.text[0] != 'x')) continue;
          expected.push_back(e);
        }
        sockets.order.clear();
        form.wListen_DataArrival(7);
        ASSERT_EQ(sockets.order, expected) << "step " << step;
        for (ElementIndex e : expected)
          ASSERT_EQ(sockets.elements[e].sent.back(), sockets.elements[expected[0]].sent.back());
      }
    }
  }
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
