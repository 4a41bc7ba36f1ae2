// The Asio backend on loopback with a real event loop: a reused element must never see what was
// meant for its earlier connection, and queued bytes must go out as the client reads them.
#include "relay/asio_session_sockets.h"

#include <gtest/gtest.h>

#include <functional>

#include "asio/write.hpp"

using namespace std::chrono_literals;
using asio::ip::tcp;
using Events = std::vector<std::string>;
constexpr std::size_t SendLimit = 16 << 20;

class AsioSessionSocketsTest : public ::testing::Test, SocketEvents {
 protected:
  AsioSessionSocketsTest() {
    port = tcp::acceptor(io, {asio::ip::address_v4::loopback(), 0}).local_endpoint().port();
    sockets.Listen(port);
    delivery.Start(*this);
    sockets.Start();
  }
  void wSession_ConnectionRequest(ElementIndex, RequestId id) override {
    ++requests;
    onRequest(id);
  }
  void wSession_DataArrival(ElementIndex i, long) override { Note("data", i, sockets.GetData(i)); }
  void wSession_Close(ElementIndex i) override { Note("close", i, ""); }
  void wSession_Error(ElementIndex i, int, const std::string& text) override {
    Note("error", i, text);
  }
  void wListen_DataArrival(long) override {}
  void Note(const char* what, ElementIndex i, const std::string& text) {
    std::string line = what;
    events.push_back(line.append(" ").append(std::to_string(i)).append(" ").append(text));
  }

  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) io.run_one_for(10ms);
    return done();
  }
  // A client that the listener has offered to the relay.
  tcp::socket Connect() {
    tcp::socket client(io, tcp::v4());
    client.set_option(asio::socket_base::receive_buffer_size(4096));  // fills up soon
    client.connect({asio::ip::address_v4::loopback(), port});
    const int offered = requests + 1;
    EXPECT_TRUE(RunUntil([&] { return requests == offered; }));
    return client;
  }
  // Hands element 1 to the next client within one handler, after doing something to it first.
  Events TakeOverElementOne(const std::function<void()>& before) {
    onRequest = [this, before](RequestId id) {
      before();
      sockets.Close(1);  // as the relay does with a closed or failed element it reuses
      sockets.Accept(1, id);
    };
    tcp::socket& next = clients.emplace_back(Connect());
    asio::write(next, asio::buffer("hello", 5));
    RunUntil([&] { return !events.empty(); });
    io.run_for(50ms);  // whatever else is on its way
    return std::exchange(events, {});
  }

  asio::io_context io;
  EventDelivery delivery;
  AsioSessionSockets sockets{io, delivery, SendLimit};
  std::uint16_t port = 0;
  int requests = 0;
  std::function<void(RequestId)> onRequest = [this](RequestId id) {
    sockets.AddElement();
    sockets.Accept(sockets.HighestIndex(), id);
  };
  Events events;
  std::vector<tcp::socket> clients;  // open until the test ends
};

TEST_F(AsioSessionSocketsTest, NothingStartedForAnEarlierConnectionReachesTheNextOne) {
  tcp::socket first = Connect();
  EXPECT_EQ(TakeOverElementOne([] {}), Events({"data 1 hello"}));  // its read wait was pending
  // This connection fails in the handler that hands its element on: the failure's report, posted
  // then, must be dropped.
  const auto tooMuch = std::make_shared<const std::string>(SendLimit + 1, 'x');
  EXPECT_EQ(TakeOverElementOne([&] { sockets.SendData(1, tooMuch); }), Events({"data 1 hello"}));
}

TEST_F(AsioSessionSocketsTest, QueuedPartsGoOutWholeAndInOrderAsASlowClientReads) {
  tcp::socket client = Connect();
  std::string expected, received;
  for (int i = 0; i < 150000; ++i) {  // 12 MB: more than the kernel's buffers take at once
    auto part = std::make_shared<const std::string>(std::to_string(i) + std::string(i % 150, '.'));
    expected += *part;
    sockets.SendData(1, std::move(part));
  }
  delivery.FlushPendingWrites();
  const auto readAll = [&] {
    std::error_code error;
    char chunk[65536];
    while (client.available(error) > 0)
      received.append(chunk, client.read_some(asio::buffer(chunk), error));
    return received.size() >= expected.size();
  };
  EXPECT_TRUE(RunUntil(readAll, 20s)) << received.size() << " of " << expected.size();
  EXPECT_TRUE(received == expected && events.empty());
}
