#pragma once

#include <deque>
#include <string>
#include <system_error>
#include <vector>

#include "relay/socket_control.h"

// A scripted wSession array: tests set states and incoming data, and read what was sent.
class FakeSessionSockets final : public SessionSockets {
 public:
  struct Element {
    int state = SocketState::Closed;
    std::string incoming;
    std::vector<SharedBytes> sent;
    int closeCalls = 0;
    RequestId acceptedRequest = 0;
  };

  FakeSessionSockets() : elements(1) { elements[0].state = SocketState::Listening; }

  ElementIndex HighestIndex() const override {
    return static_cast<ElementIndex>(elements.size() - 1);
  }
  void AddElement() override { elements.emplace_back(); }
  int State(ElementIndex index) const override { return elements.at(index).state; }
  std::string RemoteHostIP(ElementIndex) const override { return pendingPeer; }
  void Accept(ElementIndex index, RequestId requestID) override {
    elements.at(index).state = SocketState::Connected;
    elements.at(index).acceptedRequest = requestID;
  }
  std::string GetData(ElementIndex index) override {
    std::string data;
    data.swap(elements.at(index).incoming);
    return data;
  }
  void SendData(ElementIndex index, SharedBytes bytes) override {
    elements.at(index).sent.push_back(std::move(bytes));
    sendOrder.push_back(index);
  }
  void Close(ElementIndex index) override {
    elements.at(index).state = SocketState::Closed;
    ++elements.at(index).closeCalls;
  }

  // Everything sent to one element, as one text.
  std::string SentText(ElementIndex index) const {
    std::string text;
    for (const SharedBytes& part : elements.at(index).sent) text += *part;
    return text;
  }

  std::vector<Element> elements;
  std::vector<ElementIndex> sendOrder;
  std::string pendingPeer = "127.0.0.1";
};

// A scripted wListen: the test places the next datagram (or read failure) before raising
// DataArrival.
class FakeDatagramSocket final : public DatagramSocket {
 public:
  std::string GetData() override {
    if (failure) throw std::system_error(failure);
    return text;
  }
  std::string RemoteHost() const override { return "host-" + senderIp; }
  std::string RemoteHostIP() const override { return senderIp; }
  int RemotePort() const override { return senderPort; }

  std::string text;
  std::string senderIp = "127.0.0.1";
  int senderPort = 50000;
  std::error_code failure;
};
