#include "relay/form1.h"

Form1::Form1(const Settings& settings, Host host)
    : Config(settings),
      wSession(host.wSession),
      wListen(host.wListen),
      Log(host.log),
      Clock(host.clock),
      Service(host.service),
      Status(host.status),
      Shutdown(std::move(host.Shutdown)),
      Sessions(static_cast<std::size_t>(wSession.HighestIndex()) + 1) {}

bool Form1::IsClientElement(ElementIndex Index) const {
  return Index >= 1 && Index <= wSession.HighestIndex();
}

bool Form1::IsStreaming(ElementIndex Index) const {
  return wSession.State(Index) == SocketState::Connected && Sessions[Index].Streaming;
}

void Form1::ClearSession(ElementIndex Index) {
  Sessions[Index].Streaming = false;
  Sessions[Index].RequestBuffer.clear();
}
