#include "relay/metrics/metrics_exposition.h"

#include <array>
#include <charconv>
#include <string_view>

namespace {

// In SessionEnd's order.
constexpr std::array<std::string_view, SessionEndKinds> SessionEndSeries = {
    R"({reason="peer_closed"})",      R"({reason="idle_request"})",
    R"({reason="request_too_long"})", R"({reason="data_after_answer"})",
    R"({reason="slow_client"})",      R"({reason="socket_error"})",
    R"({reason="page_served"})",      R"({reason="not_allowed"})",
    R"({reason="array_full"})",
};

// Appends to one string reserved up front: a scrape formats on the relay's thread.
class Exposition {
 public:
  Exposition() { Text.reserve(6144); }

  void Family(std::string_view name, std::string_view type, std::string_view help) {
    Name = name;
    Text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    Text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }

  // A sample of the last family named; labels is empty or the whole {name="value"} part.
  // Integers go out as all their digits, doubles as the shortest text that reads back the same.
  template <class Number>
  void Sample(Number value, std::string_view labels = {}) {
    char digits[32];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Text.append(Name).append(labels).append(" ").append(digits, end).append("\n");
  }

  std::string Take() { return std::move(Text); }

 private:
  std::string Text;
  std::string_view Name;
};

void AddDatagrams(Exposition& out, const MetricsSample& sample) {
  const RelayCounters& counters = sample.Counters;
  out.Family("korvel_datagrams_received_total", "counter",
             "Event datagrams read, refused ones included.");
  out.Sample(counters.DatagramsReceived);
  out.Family("korvel_datagram_received_bytes_total", "counter",
             "Bytes of the event datagrams read, refused ones included.");
  out.Sample(counters.DatagramBytesReceived);
  out.Family("korvel_datagrams_refused_total", "counter",
             "Event datagrams dropped because their sender is outside the allowed list.");
  out.Sample(counters.DatagramsRefused);
  if (sample.DatagramsDroppedByHost) {
    out.Family("korvel_datagrams_dropped_by_host_total", "counter",
               "Event datagrams the host dropped because the event socket's receive buffer "
               "was full.");
    out.Sample(*sample.DatagramsDroppedByHost);
  }
}

void AddClients(Exposition& out, const MetricsSample& sample) {
  const RelayCounters& counters = sample.Counters;
  out.Family("korvel_parts_sent_total", "counter",
             "Stream parts sent to clients: one event part per client an event went to, and "
             "keep-alive parts.");
  out.Sample(counters.EventParts, R"({part="event"})");
  out.Sample(counters.KeepAliveParts, R"({part="keepalive"})");
  out.Family("korvel_sent_bytes_total", "counter", "Bytes written to clients' sockets.");
  out.Sample(sample.BytesSent);
  out.Family("korvel_clients_admitted_total", "counter", "Client connections admitted.");
  out.Sample(counters.ClientsAdmitted);
  out.Family("korvel_sessions_ended_total", "counter",
             "Client sessions ended, and connections refused, by reason.");
  for (std::size_t kind = 0; kind < SessionEndKinds; ++kind)
    out.Sample(counters.SessionsEnded[kind], SessionEndSeries[kind]);
  out.Family("korvel_clients_connected", "gauge", "Client connections open now.");
  out.Sample(sample.ClientsConnected);
  out.Family("korvel_clients_streaming", "gauge", "Clients receiving a stream now, by its kind.");
  out.Sample(sample.StreamingMultipart, R"({kind="multipart"})");
  out.Sample(sample.StreamingEventStream, R"({kind="event_stream"})");
}

void AddRelay(Exposition& out, const MetricsSample& sample) {
  out.Family("korvel_replay_events", "gauge", "Events kept for clients that resume.");
  out.Sample(sample.ReplayEvents);
  out.Family("korvel_replay_bytes", "gauge", "Bytes of event text and framing kept for replay.");
  out.Sample(sample.ReplayBytes);
  out.Family("korvel_journal_write_failures_total", "counter",
             "Segments of recent events (4 MiB each) the event journal could not take; "
             "they were kept in memory alone.");
  out.Sample(sample.JournalWriteFailures);
  out.Family("korvel_log_lines_dropped_total", "counter",
             "Debug log lines dropped while the log file could not be written.");
  out.Sample(sample.LogLinesDropped);
}

void AddProcess(Exposition& out, const ProcessStats& process) {
  out.Family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
  out.Sample(process.CpuSeconds);
  out.Family("process_resident_memory_bytes", "gauge", "Resident memory in bytes.");
  out.Sample(process.ResidentBytes);
  if (process.OpenFds) {
    out.Family("process_open_fds", "gauge", "Open file descriptors, or handles on Windows.");
    out.Sample(*process.OpenFds);
  }
  if (process.MaxFds) {
    out.Family("process_max_fds", "gauge",
               "Most file descriptors, or handles, the process may open.");
    out.Sample(*process.MaxFds);
  }
  out.Family("process_start_time_seconds", "gauge",
             "Start time of the process in seconds since the Unix epoch.");
  out.Sample(process.StartTimeSeconds);
}

}  // namespace

std::string ExpositionText(const MetricsSample& sample, const ProcessStats& process) {
  Exposition out;
  AddDatagrams(out, sample);
  AddClients(out, sample);
  AddRelay(out, sample);
  AddProcess(out, process);
  return out.Take();
}
