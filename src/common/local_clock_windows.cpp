#include <windows.h>

#include <cstdint>

#include "common/local_clock.h"

namespace {

// The local time of the user's time zone, by the rules in force at that date.
SYSTEMTIME LocalSystemTime(WallTime time) {
  // FILETIME counts 100 ns steps from 1601; the system clock counts from 1970.
  constexpr std::int64_t From1601To1970 = 116444736000000000;
  const std::int64_t ticks =
      std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
          time.time_since_epoch())
          .count() +
      From1601To1970;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utcTime{}, localTime{};
  FileTimeToSystemTime(&utc, &utcTime);
  SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime);
  return localTime;
}

}  // namespace

std::string LocalDateTimeText(WallTime time) {
  const SYSTEMTIME local = LocalSystemTime(time);
  char date[128] = "", clock[128] = "";
  GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, sizeof date);
  GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &local, nullptr, clock, sizeof clock);
  return std::string(date) + " " + clock;
}

double SecondsSinceLocalMidnight(WallTime time) {
  const SYSTEMTIME local = LocalSystemTime(time);
  const auto sinceEpoch = time.time_since_epoch();
  const auto fraction = sinceEpoch - std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  return local.wHour * 3600.0 + local.wMinute * 60.0 + local.wSecond +
         std::chrono::duration<double>(fraction).count();
}
