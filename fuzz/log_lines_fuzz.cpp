// Lines of any length and level, clock jumps, size limits, log paths and a file that fails and
// recovers: every line that passes the level reaches the file once, whole, in order and with the
// stamp of its time, unless a notice counts it as dropped; a write leaves the file below its limit.
#include <algorithm>
#include <map>
#include <system_error>
#include <vector>

#include "fuzz_input.h"
#include "log/logger.h"
#include "support/fake_clock.h"

namespace {

struct MemoryFiles final : FileTools {
  std::map<std::string, std::int64_t> sizes;
  bool failing = false;
  std::vector<std::string> stamps;  // of every line that passed the level, by number
  std::size_t nextLine = 0;         // the number the file must see next

  void Fail() const {
    if (failing) throw std::system_error(std::make_error_code(std::errc::read_only_file_system));
  }
  std::int64_t AppendToFile(const std::string& path, std::string_view text) override {
    Fail();
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 2) {
      end = text.find("\r\n", begin);
      const std::string_view line = text.substr(begin, end - begin);
      const std::size_t dash = line.find(" - ");
      Require(end != text.npos && dash != line.npos, "whole lines, each with its stamp");
      const std::string_view body = line.substr(dash + 3);
      if (body.starts_with('n')) {
        Require(nextLine < stamps.size() &&
                    body.starts_with('n' + std::to_string(nextLine) + ':') &&
                    line.substr(0, dash) == stamps[nextLine++],
                "lines arrive once, in order, with their stamps");
      } else {
        nextLine += std::stoul(std::string(body));
        Require(body.ends_with(" log lines were dropped while the log file could not be written"),
                "only numbered lines and drop notices reach the file");
      }
    }
    return sizes[path] += static_cast<std::int64_t>(text.size());
  }
  void RenameFile(const std::string& path, const std::string& newPath) override {
    Fail();
    const std::int64_t size = sizes[path];
    sizes.erase(path);
    sizes[newPath] = size;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  FakeClock clock;
  auto owned = std::make_unique<MemoryFiles>();
  MemoryFiles& files = *owned;
  std::int64_t limit = 10 * Logger::BytesPerMB;
  Logger logger(std::move(owned), clock, "logs/Debug.log");
  if (in.Byte() & 1) logger.SetLogPath(in.Text(24));
  while (in.Size > 0) {
    const std::int64_t sizeBefore = files.sizes[logger.CurrentLogPath()];
    try {
      const std::uint8_t step = in.Byte(), level = in.Byte(), value = in.Byte();
      if (step % 5 == 0 || step % 5 == 1) {
        const bool passes = logger.Accepts(level);
        const std::string text = passes ? 'n' + std::to_string(files.stamps.size()) + ':' : "r";
        if (passes) files.stamps.push_back(LocalDateTimeText(clock.Now()));
        logger.LogDebug(level, text + std::string(value * 97u, 'x'));
      } else if (step % 5 == 2) {
        clock.Advance(std::chrono::milliseconds((level << 8 | value) << (step % 12)));
        files.failing = step & 16;
      } else if (step % 5 == 3) {
        logger.SetLogSizeMB(static_cast<std::int8_t>(value));
        limit =
            std::clamp<std::int64_t>(static_cast<std::int8_t>(value), 1, 1999) * Logger::BytesPerMB;
        logger.SetDebugLevel(level % 12);
        logger.SetUseLogDelay(step & 8);
      } else {
        logger.FlushBuffer();
      }
    } catch (const std::system_error&) {
      Require(files.failing, "only a failing file throws");
    }
    Require(files.sizes[logger.CurrentLogPath()] == sizeBefore ||
                files.sizes[logger.CurrentLogPath()] < limit - 5,
            "a write leaves the file below its limit");
  }
  files.failing = false;
  logger.FlushBuffer();
  Require(files.nextLine == files.stamps.size(), "every line is written or counted as dropped");
  return 0;
}
