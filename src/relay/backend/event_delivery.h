#pragma once

#include <exception>

#include "log/debug_log.h"
#include "relay/core/socket_control.h"

// Hands socket events and ticks to the relay, one at a time, behind a wall: whatever a handler
// throws is reported and goes no further, so one bad event never ends the event loop.
class EventDelivery {
 public:
  explicit EventDelivery(DebugLog& log) : Log(log) {}

  void HandTo(SocketEvents& handlers) { Handlers = &handlers; }
  SocketEvents& Events() const { return *Handlers; }

  template <class Handler>
  void Deliver(Handler&& handler) {
    try {
      handler();
    } catch (const std::exception& failure) {
      ReportHandlerFailure(failure);
    }
  }

 private:
  void ReportHandlerFailure(const std::exception& failure);

  DebugLog& Log;
  SocketEvents* Handlers = nullptr;
};
