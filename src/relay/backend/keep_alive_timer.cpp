#include "relay/backend/keep_alive_timer.h"

#include <algorithm>

KeepAliveTimer::KeepAliveTimer(asio::io_context& io, EventDelivery& delivery)
    : Timer(io), Delivery(delivery) {}

void KeepAliveTimer::Start(std::function<void()> tick) {
  Tick = std::move(tick);
  Running = true;
  Timer.expires_after(Interval);
  WaitNext();
}

void KeepAliveTimer::Stop() {
  Running = false;
  Timer.cancel();
}

void KeepAliveTimer::WaitNext() {
  Timer.async_wait([this](const std::error_code& error) {
    if (error || !Running) return;
    // After a stall (a suspended machine, say) go on from now instead of catching up in a burst.
    const auto now = asio::steady_timer::clock_type::now();
    Timer.expires_at(std::max(Timer.expiry() + Interval, now));
    Delivery.Deliver(Tick);
    if (Running) WaitNext();
  });
}
