#pragma once

#include <functional>

#include "asio/io_context.hpp"
#include "asio/steady_timer.hpp"
#include "relay/backend/event_delivery.h"

// The relay's one-second clock. Deadlines advance by exactly one interval, so ticks do not drift
// with the time the handlers take.
class KeepAliveTimer {
 public:
  static constexpr auto Interval = std::chrono::milliseconds(1000);

  KeepAliveTimer(asio::io_context& io, EventDelivery& delivery);
  void Start(std::function<void()> tick);
  void Stop();

 private:
  void WaitNext();

  asio::steady_timer Timer;
  EventDelivery& Delivery;
  std::function<void()> Tick;
  bool Running = false;
};
