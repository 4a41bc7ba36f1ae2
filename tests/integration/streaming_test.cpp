#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "integration/relay_process.h"

namespace {

using namespace std::chrono_literals;

const std::string Header =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=ABCDEF12345678\r\n\r\n"
    "--ABCDEF12345678\r\n";

std::string EventPart(const std::string& text) {
  return "Content-Type: text/x-zelva-event\r\n\r\n" + text + "\r\n--ABCDEF12345678\r\n";
}

// The event parts of a stream body (after its header), keep-alive parts left out. Parts are
// recognised by their known framing, so bodies may hold any bytes.
std::vector<std::string> EventParts(const std::string& body,
                                    const std::vector<std::string>& expected) {
  std::vector<std::string> found;
  std::size_t at = 0;
  const std::string keepAlive = "Content-Type: text/keepalive\r\n\r\n";
  while (at < body.size()) {
    if (body.compare(at, keepAlive.size(), keepAlive) == 0) {
      at = body.find("\r\n--ABCDEF12345678\r\n", at + keepAlive.size()) + 20;
      continue;
    }
    const auto match = std::find_if(expected.begin(), expected.end(), [&](const std::string& text) {
      return body.compare(at, EventPart(text).size(), EventPart(text)) == 0;
    });
    if (match == expected.end()) {
      found.push_back(body.substr(at));  // unexpected bytes: reported whole
      break;
    }
    found.push_back(*match);
    at += EventPart(*match).size();
  }
  return found;
}

// A client whose request has been answered: the header arrives only after that.
std::unique_ptr<TestClient> Subscriber(RelayProcess& relay, const std::string& query) {
  auto client = std::make_unique<TestClient>(relay.StreamPort());
  client->Send("GET /?" + query + " HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(client->ReadUntil(Header));
  return client;
}

TEST(StreamingIntegration, CurlReceivesMatchingEventsAndKeepAlives) {
  RelayProcess relay;
  ASSERT_TRUE(relay.WaitUntilListening());
  const std::string url =
      "http://127.0.0.1:" + std::to_string(relay.StreamPort()) + "/?TextFilter=ALARM";
  ChildProcess curl({"curl", "-sN", url}, relay.Folder() / "curl.txt",
                    relay.Folder() / "curl-err.txt");
  ASSERT_TRUE(relay.WaitForLog(").GetData: GET /?TextFilter=ALARM HTTP/1.1\r\n"));

  SendDatagram(relay.EventPort(), "ALARM 1");
  SendDatagram(relay.EventPort(), "quiet");
  SendDatagram(relay.EventPort(), "ALARM 2\r\nsecond line");
  const auto received = [&] { return relay.ReadFile("curl.txt"); };
  EXPECT_TRUE(WaitFor(
      [&] { return received().find("Content-Type: text/keepalive\r\n\r\n") != std::string::npos; },
      8s));
  curl.Signal(SIGTERM);
  curl.WaitForExit(5s);

  const std::string body =
      received();  // curl keeps the body only: it starts at the first delimiter
  ASSERT_EQ(body.rfind("--ABCDEF12345678\r\n", 0), 0u);
  EXPECT_EQ(EventParts(body.substr(18), {"ALARM 1", "ALARM 2\r\nsecond line"}),
            std::vector<std::string>({"ALARM 1", "ALARM 2\r\nsecond line"}));
  EXPECT_EQ(body.find("quiet"), std::string::npos);
}

TEST(StreamingIntegration, FiltersDeliverExactlyTheRequestedEventsWithIdenticalBytes) {
  RelayProcess relay;
  ASSERT_TRUE(relay.WaitUntilListening());
  auto everything = Subscriber(relay, "");
  auto alarms = Subscriber(relay, "TextFilter=ALARM");
  auto fromSecond = Subscriber(relay, "SOURCE_IP=127.0.0.2");
  auto both = Subscriber(relay, "source_ip=127.0.0.1&textfilter=ALARM");

  const std::string awkward = std::string("ALARM\0with NUL\r\n--ABCDEF12345678\r\nend", 38);
  const std::vector<std::pair<std::string, std::string>> events = {{"ALARM first", "127.0.0.1"},
                                                                   {"ALARM from two", "127.0.0.2"},
                                                                   {"plain", "127.0.0.2"},
                                                                   {awkward, "127.0.0.1"}};
  std::vector<std::string> texts;
  for (const auto& [text, from] : events) {
    SendDatagram(relay.EventPort(), text, from);
    texts.push_back(text);
  }
  std::size_t total = Header.size();
  for (const std::string& text : texts) total += EventPart(text).size();
  everything->ReadAtLeast(total, 8s);
  for (auto* client : {alarms.get(), fromSecond.get(), both.get()})
    client->ReadUntil(EventPart(texts.back()).substr(0, 40), 1s);
  std::this_thread::sleep_for(200ms);
  for (auto* client : {alarms.get(), fromSecond.get(), both.get()})
    client->ReadAtLeast(SIZE_MAX, 100ms);

  const auto parts = [&](TestClient& client) {
    EXPECT_EQ(client.Received().rfind(Header, 0), 0u);
    return EventParts(client.Received().substr(Header.size()), texts);
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(parts(*everything), texts);
  EXPECT_EQ(parts(*alarms), Texts({"ALARM first", "ALARM from two", awkward}));
  EXPECT_EQ(parts(*fromSecond), Texts({"ALARM from two", "plain"}));
  EXPECT_EQ(parts(*both), Texts({"ALARM first", awkward}));
}

TEST(StreamingIntegration, RequestLimitsAndSplitRequestsOverRawSockets) {
  RelayProcess relay;
  ASSERT_TRUE(relay.WaitUntilListening());

  TestClient split(relay.StreamPort());
  split.Send(std::string(1001, 'a'));  // one arrival over the limit: dropped
  ASSERT_TRUE(relay.WaitForLog("Connection(1).GetData: aaaa"));
  split.Send("GET /?TextFilter=x HTTP/1.0\r\n\r");
  ASSERT_TRUE(relay.WaitForLog("Connection(1).GetData: GET"));
  EXPECT_TRUE(split.ReadAtLeast(1, 200ms).empty());
  split.Send("\n");
  EXPECT_TRUE(split.ReadUntil(Header));
  EXPECT_EQ(split.Received(), Header);

  TestClient full(relay.StreamPort());
  full.Send(std::string(999, 'b'));
  ASSERT_TRUE(relay.WaitForLog("Connection(2).GetData: bbb"));
  full.Send(std::string(1000, 'c'));  // 1999 waiting, still no end
  ASSERT_TRUE(relay.WaitForLog("Connection(2).GetData: ccc"));
  full.Send("\r\n\r\n");
  EXPECT_TRUE(full.WaitForClose());
  EXPECT_TRUE(full.Received().empty());
  EXPECT_TRUE(relay.WaitForLog("Connection(2).Closed by host"));

  split.Send("GET /again HTTP/1.0\r\n\r\n");  // anything more on a streaming session
  EXPECT_TRUE(split.WaitForClose());
  EXPECT_EQ(split.Received(), Header);
  EXPECT_TRUE(relay.WaitForLog("Connection(1).Closed by host"));
}

TEST(StreamingIntegration, LineFeedOnlyRequestIsClosedAfterTenSeconds) {
  RelayProcess relay;
  ASSERT_TRUE(relay.WaitUntilListening());
  const auto start = std::chrono::steady_clock::now();
  TestClient client(relay.StreamPort());
  client.Send("GET /?a=1 HTTP/1.0\n\n");
  EXPECT_TRUE(client.WaitForClose(14s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(client.Received().empty());
  EXPECT_TRUE(relay.WaitForLog("Connection(1).Closed by host"));
}

TEST(StreamingIntegration, AResetConnectionFailsOnlyItsOwnSession) {
  RelayProcess relay({"-d", "3"});
  ASSERT_TRUE(relay.WaitUntilListening());
  auto vanishing = Subscriber(relay, "");
  auto staying = Subscriber(relay, "");
  vanishing->Reset();
  std::vector<std::string> texts;
  for (int i = 0; i < 200; ++i) {
    texts.push_back("event " + std::to_string(i));
    SendDatagram(relay.EventPort(), texts.back());
  }
  std::size_t total = Header.size();
  for (const std::string& text : texts) total += EventPart(text).size();
  staying->ReadAtLeast(total, 5s);
  EXPECT_EQ(EventParts(staying->Received().substr(Header.size()), texts), texts);
  EXPECT_TRUE(relay.WaitForLog("Connection(1).Closed by peer") ||
              relay.WaitForLog("Connection(1).Error "));
}

TEST(StreamingIntegration, AClientThatNeverReadsIsCutOffWhileOthersGetEveryEvent) {
  RelayProcess relay({"-d", "3"});
  ASSERT_TRUE(relay.WaitUntilListening());
  TestClient stalled(relay.StreamPort(), 4096);
  stalled.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(relay.WaitForLog("Connected to Winsock(1)"));
  auto reader = Subscriber(relay, "");
  ASSERT_TRUE(WaitFor([&] { return stalled.Received().empty(); }, 1s));

  // 50 MB in all: without a bound on what waits for the stalled client the relay would hold
  // most of it.
  const std::string payload(50000, 'p');
  const int count = 1000;
  long peakKiB = 0;
  std::size_t expected = Header.size();
  for (int i = 0; i < count; ++i) {
    const std::string text = std::to_string(i) + payload;
    SendDatagram(relay.EventPort(), text);
    expected += EventPart(text).size();
    // Paced by the reader, so no datagram is lost to a full socket buffer.
    ASSERT_GE(reader->ReadAtLeast(expected, 5s).size(), expected) << "event " << i;
    if (i % 50 == 0) peakKiB = std::max(peakKiB, relay.ResidentKiB());
  }
  EXPECT_TRUE(
      relay.WaitForLog("Connection(1).Error client is not reading: more than 8388608 bytes"));
  std::size_t events = 0;
  for (std::size_t at = reader->Received().find("text/x-zelva-event"); at != std::string::npos;
       at = reader->Received().find("text/x-zelva-event", at + 1)) {
    ++events;
  }
  EXPECT_EQ(events, static_cast<std::size_t>(count));
#ifndef KORVEL_SANITIZED  // the sanitizer's own bookkeeping swamps the figure
  EXPECT_LT(peakKiB, 40 * 1024) << "peak resident memory in KiB";
#endif
  RecordProperty("PeakResidentKiB", static_cast<int>(peakKiB));
}

}  // namespace
