#pragma once

#include <ctime>

#include "common/local_clock.h"

// A wall clock that only moves when a test moves it.
class FakeClock final : public LocalClock {
 public:
  WallTime Now() const override { return Current; }
  void Set(WallTime time) { Current = time; }
  void Advance(std::chrono::milliseconds step) { Current += step; }

  // The instant of a local date and time, so tests can place themselves around midnight.
  static WallTime Local(int year, int month, int day, int hour, int minute, int second,
                        int millis = 0) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local)) +
           std::chrono::milliseconds(millis);
  }

 private:
  WallTime Current = Local(2026, 12, 7, 10, 0, 0);
};
