#include <ctime>

#include "common/local_clock.h"

namespace {

std::tm LocalBrokenDown(WallTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

}  // namespace

std::string LocalDateTimeText(WallTime time) {
  const std::tm local = LocalBrokenDown(time);
  char text[128];
  // %x and %X follow LC_TIME, which start-up takes from the user's environment.
  const std::size_t length = std::strftime(text, sizeof text, "%x %X", &local);
  return std::string(text, length);
}

double SecondsSinceLocalMidnight(WallTime time) {
  const std::tm local = LocalBrokenDown(time);
  const auto sinceEpoch = time.time_since_epoch();
  const auto fraction = sinceEpoch - std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
         std::chrono::duration<double>(fraction).count();
}
