#pragma once

#include <exception>
#include <vector>

#include "relay/socket_control.h"

class SessionElement;

// Hands socket events and ticks to the relay one at a time, and then writes what the relay
// queued while it handled them: a burst of events costs one write per client, not one per part.
class EventDelivery {
 public:
  void Start(SocketEvents& events) { Handlers = &events; }
  SocketEvents& Events() const { return *Handlers; }

  // Runs one event handler so that nothing it throws reaches the event loop.
  template <class Handler>
  void Deliver(Handler&& handler) {
    try {
      handler();
    } catch (const std::exception& failure) {
      ReportHandlerFailure(failure);
    }
  }
  // An element that has bytes queued and is not already waiting for its socket.
  void NeedsFlush(SessionElement& element) { FlushList.push_back(&element); }
  // Writes what the handlers delivered since the last flush have queued.
  void FlushPendingWrites();

 private:
  static void ReportHandlerFailure(const std::exception& failure);

  SocketEvents* Handlers = nullptr;
  std::vector<SessionElement*> FlushList;
};
