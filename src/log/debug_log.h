#pragma once

#include <cstdint>
#include <string_view>

// Where the relay writes its debug lines. Accepts() lets a busy path skip building a line that
// the level filter would drop anyway.
class DebugLog {
 public:
  virtual ~DebugLog() = default;
  virtual bool Accepts(std::uint8_t level) const = 0;
  virtual void Log(std::uint8_t DbgLevel, std::string_view Text) = 0;
  // Lines lost because the log could not be written for too long.
  virtual std::uint64_t LinesDropped() const = 0;
};
