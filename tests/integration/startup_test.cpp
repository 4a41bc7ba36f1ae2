#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "integration/relay_process.h"

namespace {

using namespace std::chrono_literals;

TEST(StartupIntegration, AdmitsClientsAndReusesTheLowestClosedElement) {
  RelayProcess relay;
  ASSERT_TRUE(relay.WaitUntilListening());
  EXPECT_TRUE(relay.WaitForLog(" - Executing as application\r\n"));

  auto first = std::make_unique<TestClient>(relay.StreamPort());
  ASSERT_TRUE(relay.WaitForLog(" - Connected to Winsock(1)\r\n"));
  TestClient second(relay.StreamPort());
  ASSERT_TRUE(relay.WaitForLog(" - Connected to Winsock(2)\r\n"));
  EXPECT_EQ(relay.CountInLog(" - Destination connection request from:127.0.0.1\r\n"), 2);

  first.reset();
  ASSERT_TRUE(relay.WaitForLog(" - Connection(1).Closed by peer\r\n"));
  TestClient third(relay.StreamPort());
  ASSERT_TRUE(relay.WaitForLog(" - Connected to Winsock(1)\r\n", 2));
  EXPECT_EQ(relay.CountInLog("Connected to Winsock(3)"), 0);

  EXPECT_EQ(relay.Stop(), 0);
}

TEST(StartupIntegration, DefaultLevelWritesOnlyTheStartupLine) {
  RelayProcess relay(std::vector<std::string>{});
  ASSERT_TRUE(relay.WaitUntilListening());
  TestClient client(relay.StreamPort());
  SendDatagram(relay.EventPort(), "ALARM");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(relay.Stop(), 0);
  const std::string log = relay.LogText();
  EXPECT_TRUE(log.ends_with(" - Executing as application\r\n"));
  EXPECT_EQ(log.find("\r\n"), log.size() - 2);
}

TEST(StartupIntegration, ServiceModeWithoutAServiceManagerStillServesHidden) {
  RelayProcess relay({"-s", "-d", "0"});
  ASSERT_TRUE(relay.WaitUntilListening());
  EXPECT_TRUE(relay.WaitForLog(" - Executing as service\r\n"));
  EXPECT_NE(relay.ReadFile("stderr.txt").find("Unable to start service."), std::string::npos);
  TestClient client(relay.StreamPort());
  client.Send("GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(client.ReadUntil("--ABCDEF12345678\r\n"));
  std::this_thread::sleep_for(1100ms);          // past the first tick
  EXPECT_EQ(relay.ReadFile("stdout.txt"), "");  // no window shown
}

class PortHolder {
 public:
  PortHolder(int type, std::uint16_t port) : Fd(::socket(AF_INET, type, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            (type != SOCK_STREAM || ::listen(Fd, 1) == 0);
  }
  ~PortHolder() { ::close(Fd); }
  bool bound = false;

 private:
  int Fd;
};

TEST(StartupIntegration, EndsWithTheErrorWhenAPortIsTaken) {
  const std::uint16_t stream = FreeTcpPort();
  PortHolder streamHolder(SOCK_STREAM, stream);
  ASSERT_TRUE(streamHolder.bound);
  RelayProcess streamTaken({"-d", "0"}, stream);
  EXPECT_EQ(streamTaken.WaitForExit(5s), 1);
  EXPECT_NE(streamTaken.ReadFile("stderr.txt")
                .find("stream port " + std::to_string(stream) + ": error 98: "),
            std::string::npos);

  const std::uint16_t events = FreeUdpPort();
  PortHolder eventHolder(SOCK_DGRAM, events);
  ASSERT_TRUE(eventHolder.bound);
  RelayProcess eventTaken({"-d", "0"}, std::nullopt, events);
  EXPECT_EQ(eventTaken.WaitForExit(5s), 1);
  EXPECT_NE(eventTaken.ReadFile("stderr.txt")
                .find("event port " + std::to_string(events) + ": error 98: "),
            std::string::npos);
}

TEST(StartupIntegration, EndsWithTheErrorWhenTheLogCannotBeWritten) {
  RelayProcess relay({"-i", "nofolder/debug.log"});
  EXPECT_EQ(relay.WaitForExit(5s), 1);
  EXPECT_NE(relay.ReadFile("stderr.txt").find("cannot write the debug log"), std::string::npos);
  EXPECT_NE(relay.ReadFile("stderr.txt").find("error 2: "), std::string::npos);
}

TEST(StartupIntegration, RotatesTheLogAtItsSizeLimit) {
  RelayProcess relay({"-d", "0", "-g", "1"});
  ASSERT_TRUE(relay.WaitUntilListening());
  const std::string payload(30000, 'e');
  for (int i = 0; i < 45; ++i) {
    SendDatagram(relay.EventPort(), std::to_string(i) + payload);
    ASSERT_TRUE(WaitFor(
        [&] {
          return relay.CountInLog(" - " + std::to_string(i) + "eee") > 0 ||
                 relay.ReadFile("Debug_2.log").find(" - " + std::to_string(i) + "eee") !=
                     std::string::npos;
        },
        5s));
  }
  EXPECT_EQ(relay.Stop(), 0);
  const std::string previous = relay.ReadFile("Debug_2.log");
  const std::string current = relay.ReadFile("Debug.log");
  EXPECT_GT(previous.size(), 1048576u - 70000u);
  EXPECT_LE(previous.size(), 1048576u);
  EXPECT_LT(current.size(), 1048576u);
  // Nothing lost and nothing twice across the two generations.
  for (int i = 0; i < 45; ++i) {
    const std::string line = " - " + std::to_string(i) + payload + "\r\n";
    EXPECT_EQ((previous + current).find(line) != std::string::npos, true) << i;
  }
}

}  // namespace
