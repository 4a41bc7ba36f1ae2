#pragma once

#include <optional>

// What the host tells about this process, read at the moment of asking.
struct ProcessStats {
  double CpuSeconds = 0;  // user and system time
  double ResidentBytes = 0;
  std::optional<double> OpenFds;  // descriptors, or handles where the host has no descriptors
  std::optional<double> MaxFds;
  double StartTimeSeconds = 0;  // since the Unix epoch
};

ProcessStats ReadProcessStats();
