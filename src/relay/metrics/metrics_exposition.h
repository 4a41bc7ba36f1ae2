#pragma once

#include <string>

#include "common/process_stats.h"
#include "relay/core/relay_counters.h"

// The relay's and the process's numbers in Prometheus's text format (version 0.0.4).
std::string ExpositionText(const MetricsSample& sample, const ProcessStats& process);
