// Lines of any length and level, clock jumps, size limits, log paths and a file that fails (after
// taking any part of the text, as a full disk does) and recovers: every line that passes the level
// reaches the file once, whole, in order and with the stamp of its time, unless a notice counts it
// as dropped; a line that the file has begun is finished first, in the same file; at most about a
// mebibyte waits through a failure; a failing file is tried at most once a second, but a line
// logged later (or after the clock went back) goes out with all before it; a write that works
// leaves the file below its limit.
#include <map>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "log/logger.h"
#include "support/fake_clock.h"

namespace {

using namespace std::chrono_literals;

struct MemoryFiles final : FileTools {
  FakeClock clock;  // the Logger's
  std::map<std::string, std::int64_t> sizes;
  bool failing = false, delayed = false, flushing = false;  // flushing: FlushBuffer tries at once
  std::size_t tear = 0;              // how far a failing write gets (modulo the text's length)
  std::string begun;                 // the line that the file has begun, until the rest comes
  std::optional<WallTime> failed;    // the time of the last failed try, until one succeeds
  std::vector<std::string> stamps;   // of every line that passed the level, by number
  std::vector<std::size_t> lengths;  // and the length of the text of each
  std::size_t next = 0;              // the number the file must see next

  // Whether a try is due: the last failed one is a second old, or the clock went back since.
  bool Due() const { return !failed || clock.Current < *failed || clock.Current - *failed >= 1s; }
  void Try() {
    if (!failing) return failed.reset();
    Require(flushing || Due(), "a failing file is tried at most once a second");
    failed = clock.Current;
    throw std::system_error(std::make_error_code(std::errc::read_only_file_system));
  }
  std::int64_t AppendToFile(const std::string& path, std::string_view text,
                            std::size_t& written) override {
    Require(text.size() <= 1048576 + 32768, "a failure keeps about a mebibyte");
    written = failing ? tear % (text.size() + 1) : text.size();
    std::string joined;
    std::string_view file = text.substr(0, written);
    if (!begun.empty()) file = joined = std::exchange(begun, {}) + std::string(file);
    for (std::size_t begin = 0, end; begin < file.size(); begin = end + 2) {
      end = file.find("\r\n", begin);
      if (end == file.npos) {
        begun = file.substr(begin);
        break;
      }
      const std::string_view line = file.substr(begin, end - begin);
      const std::size_t dash = line.find(" - ");
      Require(dash != line.npos, "each line with its stamp");
      const std::string_view body = line.substr(dash + 3);
      if (!body.starts_with('n')) {
        const std::size_t dropped = std::stoul(std::string(body));
        Require(body == std::to_string(dropped) +
                            " log lines were dropped while the log file could not be written",
                "only numbered lines and drop notices reach the file");
        next += dropped;
      } else {
        const std::string number = 'n' + std::to_string(next) + ':';
        Require(next < stamps.size() && body.starts_with(number) &&
                    body.find_first_not_of('x', number.size()) == body.npos &&
                    body.size() == lengths[next] && line.substr(0, dash) == stamps[next++],
                "lines arrive once, whole, in order, with their stamps");
      }
    }
    sizes[path] += static_cast<std::int64_t>(written);
    Try();
    Require(begun.empty(), "a write that works ends with a whole line");
    return sizes[path];
  }
  void RenameFile(const std::string& path, const std::string& newPath) override {
    Try();
    Require(begun.empty(), "a file is moved aside only after its last line is whole");
    sizes[newPath] = std::exchange(sizes[path], 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  auto owned = std::make_unique<MemoryFiles>();
  MemoryFiles& files = *owned;
  Logger logger(std::move(owned), files.clock, "logs/Debug.log");
  std::int64_t limit = 10 * 1048576;
  if (in.Byte() & 1) logger.SetLogPath(in.Text(24));
  while (in.Size > 0) {
    const std::int64_t sizeBefore = files.sizes[logger.CurrentLogPath()];
    const std::uint8_t step = in.Byte(), level = in.Byte(), value = in.Byte();
    files.flushing = step % 5 == 4;
    try {
      if (step % 5 < 2) {
        const bool passes = logger.Accepts(level);
        if (passes) files.stamps.push_back(LocalDateTimeText(files.clock.Now()));
        const std::string number = 'n' + std::to_string(files.stamps.size() - 1) + ':';
        if (passes) files.lengths.push_back(number.size() + value * 97u);
        const bool due = passes && !files.delayed && !files.failing && files.Due();
        logger.LogDebug(level, (passes ? number : "r") + std::string(value * 97u, 'x'));
        Require(!due || files.next == files.stamps.size(), "a file is tried again when due");
      } else if (step % 5 == 2) {
        const int back = step & 64 ? -1 : 1;  // a clock set back
        files.clock.Advance(back * std::chrono::milliseconds((level << 8 | value) << (step % 12)));
        files.failing = step & 16;
        files.tear = step & 32 ? (level << 8 | value) : 0;  // 0: nothing reaches the file
      } else if (step % 5 == 3) {
        logger.SetLogSizeMB(static_cast<std::int8_t>(value));
        limit = std::clamp<std::int64_t>(static_cast<std::int8_t>(value), 1, 1999) * 1048576;
        logger.SetDebugLevel(level % 12);
        logger.SetUseLogDelay(files.delayed = step & 8);
      } else {
        logger.FlushBuffer();
      }
      const std::int64_t sizeAfter = files.sizes[logger.CurrentLogPath()];
      Require(sizeAfter == sizeBefore || sizeAfter < limit - 5,
              "a write leaves it below its limit");
    } catch (const std::system_error&) {
      Require(files.failing, "only a failing file throws");
    }
  }
  files.failing = false;
  logger.FlushBuffer();
  Require(files.next == files.stamps.size() && files.begun.empty(),
          "every line is written or counted as dropped");
  return 0;
}
