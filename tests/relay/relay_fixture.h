#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/debug_log.h"
#include "relay/fake_sockets.h"
#include "relay/form1.h"
#include "service/service_bridge.h"
#include "support/fake_clock.h"

class RecordingLog final : public DebugLog {
 public:
  bool Accepts(std::uint8_t level) const override { return level >= threshold; }
  void Log(std::uint8_t level, std::string_view text) override {
    lines.push_back({level, std::string(text)});
  }
  bool Has(std::uint8_t level, const std::string& text) const {
    return std::count(lines.begin(), lines.end(), Line{level, text}) == 1;
  }

  struct Line {
    std::uint8_t level;
    std::string text;
    bool operator==(const Line&) const = default;
  };
  std::uint8_t threshold = 0;
  std::vector<Line> lines;
};

class StubService final : public ServiceBridge {
 public:
  bool ServiceStart() override { return false; }
  bool ServiceStopRequested() override { return stopRequested; }
  bool ServiceStop() override { return false; }
  bool stopRequested = false;
};

class RecordingStatus final : public StatusDisplay {
 public:
  void ShowServingCount(int count) override { shown.push_back(count); }
  std::vector<int> shown;
};

// Form1 wired to fakes, with the steps a client and an event source take.
class RelayTest : public ::testing::Test {
 protected:
  RelayTest()
      : form(settings,
             {sockets, datagrams, log, clock, status,
              [this] { return service.ServiceStopRequested(); }, [this] { ++shutdowns; }}) {}

  // A client connects from ip; returns the element it was admitted on (0 when refused).
  ElementIndex Connect(const std::string& ip = "10.0.0.1") {
    sockets.pendingPeer = ip;
    const RequestId id = ++lastRequest;
    form.wSession_ConnectionRequest(0, id);
    for (std::size_t i = 1; i < sockets.elements.size(); ++i) {
      if (sockets.elements[i].acceptedRequest == id) return static_cast<ElementIndex>(i);
    }
    return 0;
  }
  void Receive(ElementIndex index, const std::string& data) {
    sockets.elements.at(index).incoming += data;
    form.wSession_DataArrival(index, static_cast<long>(data.size()));
  }
  // A client that connects and completes a request with the given query string.
  ElementIndex Subscribe(const std::string& query) {
    const ElementIndex index = Connect();
    Receive(index, "GET /?" + query + " HTTP/1.0\r\n\r\n");
    return index;
  }
  void Event(const std::string& text, const std::string& senderIp = "10.0.0.5") {
    datagrams.text = text;
    datagrams.senderIp = senderIp;
    form.wListen_DataArrival(static_cast<long>(text.size()));
  }
  std::size_t SentCount(ElementIndex index) const { return sockets.elements.at(index).sent.size(); }

  Settings settings;
  FakeSessionSockets sockets;
  FakeDatagramSocket datagrams;
  RecordingLog log;
  FakeClock clock;
  StubService service;
  RecordingStatus status;
  int shutdowns = 0;
  RequestId lastRequest = 0;
  Form1 form;
};
