#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <cstdint>

#include "common/process_stats.h"

namespace {

// FILETIME counts 100 ns steps, dates from 1601.
constexpr double TicksPerSecond = 1e7;
constexpr std::uint64_t From1601To1970 = 116444736000000000;

std::uint64_t Ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  const HANDLE self = GetCurrentProcess();
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
    stats.CpuSeconds = static_cast<double>(Ticks(kernel) + Ticks(user)) / TicksPerSecond;
    stats.StartTimeSeconds = static_cast<double>(Ticks(created) - From1601To1970) / TicksPerSecond;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  // The kernel32 form (Windows 7 on), so the program needs no psapi.dll.
  if (K32GetProcessMemoryInfo(self, &memory, sizeof memory))
    stats.ResidentBytes = static_cast<double>(memory.WorkingSetSize);
  DWORD handles = 0;
  if (GetProcessHandleCount(self, &handles)) stats.OpenFds = handles;
  // Windows has no descriptor limit to read. A socket is a handle, and a process may hold at most
  // 2^24 kernel handles (the documented limit; memory usually runs out first), so that is the
  // ceiling the open count can be compared with.
  stats.MaxFds = 16777216;
  return stats;
}
