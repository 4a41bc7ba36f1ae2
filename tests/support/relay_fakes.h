#pragma once

#include <utility>

#include "log/debug_log.h"
#include "relay/core/form1.h"
#include "support/fake_clock.h"

// A scripted wSession array: tests set states and incoming data, and read what was sent.
struct FakeSessionSockets final : SessionSockets {
  struct Element {
    SocketState state = SocketState::Closed;
    std::string incoming;
    std::vector<SharedBytes> sent;  // to the current connection
  };
  ElementIndex HighestIndex() const override {
    return static_cast<ElementIndex>(elements.size() - 1);
  }
  void AddElement() override { elements.emplace_back(); }
  SocketState State(ElementIndex i) const override { return elements.at(i).state; }
  ElementIndex NextUnconnected(ElementIndex after) const override {
    for (std::size_t i = after + 1; i < elements.size(); ++i)
      if (elements[i].state != SocketState::Connected) return static_cast<ElementIndex>(i);
    return 0;
  }
  std::string RemoteHostIP(ElementIndex) const override { return AddressText(peer); }
  NetAddress RemoteAddress(ElementIndex) const override { return peer; }
  void Accept(ElementIndex i, RequestId id) override {
    elements.at(i).state = SocketState::Connected;
    elements.at(i).sent.clear();
    accepted = {id, i};
  }
  std::string GetData(ElementIndex i) override {
    return std::exchange(elements.at(i).incoming, "");
  }
  void SendData(ElementIndex i, SharedBytes bytes) override {
    elements.at(i).sent.push_back(std::move(bytes));
    order.push_back(i);
  }
  void NotifyWhenSent(ElementIndex) override {}
  void Close(ElementIndex i) override { elements.at(i).state = SocketState::Closed; }
  std::uint64_t BytesSent() const override { return 0; }
  int ClientNotReadingError() const override { return 105; }

  std::vector<Element> elements{Element{SocketState::Listening, "", {}}};
  std::vector<ElementIndex> order;              // of all sends
  std::pair<RequestId, ElementIndex> accepted;  // the last request accepted, and where
  NetAddress peer = AddressFromV4({10, 0, 0, 1});  // of the next connection request
};

// A scripted wListen: the test places the next datagram before DataArrival.
struct FakeDatagramSocket final : DatagramSocket {
  std::string_view GetData() override { return text; }
  std::string RemoteHost() const override { return RemoteHostIP(); }
  std::string RemoteHostIP() const override { return AddressText(sender); }
  NetAddress RemoteAddress() const override { return sender; }
  int RemotePort() const override { return 50000; }
  std::optional<std::uint64_t> DroppedByHost() const override { return dropped; }
  std::string text;
  NetAddress sender = AddressFromV4({10, 0, 0, 5});
  std::optional<std::uint64_t> dropped;
};

// The log lines' text is checked against the real program's log.
struct Recorders final : DebugLog, StatusDisplay {
  bool Accepts(std::uint8_t) const override { return true; }
  void Log(std::uint8_t, std::string_view) override { ++lines; }
  std::uint64_t LinesDropped() const override { return 0; }
  void ShowServingCount(int count) override { shown.push_back(count); }
  int lines = 0;
  std::vector<int> shown;
};

// Form1 wired to fakes, with the steps a client and an event source take.
struct FakeRelay {
  // A client connects; the element it was admitted on (0 when refused).
  ElementIndex Connect() {
    form.wSession_ConnectionRequest(0, ++lastRequest);
    return sockets.accepted.first == lastRequest ? sockets.accepted.second : ElementIndex{0};
  }
  void Receive(ElementIndex i, const std::string& data) {
    sockets.elements.at(i).incoming += data;
    form.wSession_DataArrival(i, static_cast<long>(data.size()));
  }
  ElementIndex Subscribe(const std::string& query) {
    const ElementIndex i = Connect();
    Receive(i, "GET /?" + query + " HTTP/1.0\r\n\r\n");
    return i;
  }

  Settings settings;
  FakeSessionSockets sockets;
  FakeDatagramSocket datagrams;
  Recorders host;
  FakeClock clock;
  bool stopRequested = false;
  int shutdowns = 0;
  RequestId lastRequest = 0;
  Form1 form{settings,
             {sockets, datagrams, host, clock, host, [this] { return stopRequested; },
              [this] { ++shutdowns; }}};
};
