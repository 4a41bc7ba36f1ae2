#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "common/process_stats.h"

namespace {

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t sizePages = 0, residentPages = 0;
  statm >> sizePages >> residentPages;
  return static_cast<double>(residentPages) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

std::optional<double> CountedFds() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return std::nullopt;
  long count = -1;  // the listing shows the descriptor that reads it
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(listing);
  return static_cast<double>(count);
}

std::optional<double> OpenFds() {
  // Since Linux 6.2 the directory's size is the number of open descriptors. A stat takes some
  // microseconds, where the listing of 19,000 descriptors takes some 15 ms of the relay's
  // thread; older kernels give 0, and their descriptors are counted one by one.
  struct stat directory {};
  if (stat("/proc/self/fd", &directory) == 0 && directory.st_size > 0)
    return static_cast<double>(directory.st_size);
  return CountedFds();
}

// The process's start in clock ticks after boot (field 22 of /proc/self/stat), placed on the wall
// clock by the time since boot. /proc/stat's boot time would do as well, but a unit with
// ProcSubset=pid, as the packaged one, cannot read it.
double StartTimeSeconds() {
  std::ifstream self("/proc/self/stat");
  std::string line;
  std::getline(self, line);
  // Field 2, the command name, is in parentheses and may hold spaces and parentheses itself.
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  std::string skipped;
  for (int field = 3; field < 22; ++field) fields >> skipped;
  std::uint64_t startTicks = 0;
  fields >> startTicks;
  timespec now{}, sinceBoot{};
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  const auto seconds = [](const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  return seconds(now) - seconds(sinceBoot) +
         static_cast<double>(startTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  stats.CpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  stats.ResidentBytes = ResidentBytes();
  stats.OpenFds = OpenFds();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) stats.MaxFds = static_cast<double>(limit.rlim_cur);
  // Read once: the kernel derives btime from the wall clock, so a clock step would move a start
  // read afresh, and a moving start time looks like a restart to whoever watches it.
  static const double startTime = StartTimeSeconds();
  stats.StartTimeSeconds = startTime;
  return stats;
}
