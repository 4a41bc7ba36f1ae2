#pragma once

#include <chrono>
#include <string>

using WallTime = std::chrono::system_clock::time_point;

// The wall clock, behind an interface so that tests can move time without sleeping.
class LocalClock {
 public:
  virtual ~LocalClock() = default;
  virtual WallTime Now() const = 0;
};

class SystemClock final : public LocalClock {
 public:
  WallTime Now() const override { return std::chrono::system_clock::now(); }
};

// The host's general local date-and-time form: its short date, one space, its long time.
std::string LocalDateTimeText(WallTime time);

// Seconds (with fraction) since the local midnight that precedes time.
double SecondsSinceLocalMidnight(WallTime time);
