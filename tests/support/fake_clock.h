#pragma once

#include "common/local_clock.h"

// A wall clock that only moves when a test moves it.
struct FakeClock final : LocalClock {
  WallTime Now() const override { return Current; }
  void Advance(std::chrono::milliseconds step) { Current += step; }
  WallTime Current = std::chrono::system_clock::from_time_t(1796637600);  // 2026-12-07
};
