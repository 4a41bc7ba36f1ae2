#include "relay/metrics/metrics_exposition.h"

#include <gtest/gtest.h>

// What a scrape on the machine at hand would not show: the largest counter digit for digit, a
// fractional value, and the series the host cannot tell left out rather than shown as 0.
TEST(MetricsExposition, WritesLargeAndFractionalValuesAndLeavesOutWhatTheHostDoesNotTell) {
  MetricsSample sample;
  sample.Counters.DatagramsReceived = 18446744073709551615u;
  ProcessStats process;
  process.ResidentBytes = 52428800;
  process.StartTimeSeconds = 1700000000.25;
  const std::string text = ExpositionText(sample, process);
  for (const char* line : {"\nkorvel_datagrams_received_total 18446744073709551615\n",
                           "\nprocess_resident_memory_bytes 52428800\n",
                           "\nprocess_start_time_seconds 1700000000.25\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  for (const char* name : {"korvel_datagrams_dropped_by_host_total", "process_open_fds",
                           "process_max_fds"}) {
    EXPECT_EQ(text.find(name), std::string::npos) << name;
  }
}
