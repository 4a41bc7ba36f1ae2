#pragma once

#include "log/debug_log.h"
#include "log/logger.h"

// The program's log wrapper over its one Logger. Once start-up is over a log file that cannot be
// written must not stop relay work: the Logger keeps the lines for its next write, and the
// failure goes no further than here.
class KorvelLog final : public DebugLog {
 public:
  explicit KorvelLog(Logger& logger) : TheLogger(logger) {}
  bool Accepts(std::uint8_t level) const override { return TheLogger.Accepts(level); }
  void Log(std::uint8_t DbgLevel, std::string_view Text) override;
  std::uint64_t LinesDropped() const override { return TheLogger.LinesDroppedInAll(); }

 private:
  Logger& TheLogger;
};
