#include "startup/korvel_log.h"

void KorvelLog::Log(std::uint8_t DbgLevel, std::string_view Text) {
  try {
    TheLogger.LogDebug(DbgLevel, Text);
  } catch (const std::exception&) {
    // The line waits in the Logger's buffer and goes out with the next write that succeeds.
  }
}
