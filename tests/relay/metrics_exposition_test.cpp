#include "relay/metrics_exposition.h"

#include <gtest/gtest.h>

// The whole text, written out by hand: the family order, every series with its labels, the
// largest counter digit for digit, an absent optional left out.
TEST(MetricsExposition, WritesEveryFamilyWithItsHelpAndType) {
  MetricsSample sample;
  sample.Counters = {18446744073709551615u, 2, 3, 4, 5, 6, {11, 12, 13, 14, 15, 16, 17, 18, 19}};
  sample.BytesSent = 7;
  sample.DatagramsDroppedByHost = 8;
  sample.LogLinesDropped = 9;
  sample.ClientsConnected = 19000;
  sample.StreamingMultipart = 10;
  sample.StreamingEventStream = 20;
  sample.ReplayEvents = 30;
  sample.ReplayBytes = 40;
  ProcessStats process;
  process.CpuSeconds = 12.5;
  process.ResidentBytes = 52428800;
  process.OpenFds = 19005;
  process.StartTimeSeconds = 1700000000.25;

  EXPECT_EQ(ExpositionText(sample, process),
            R"(# HELP korvel_datagrams_received_total Event datagrams read, refused ones included.
# TYPE korvel_datagrams_received_total counter
korvel_datagrams_received_total 18446744073709551615
# HELP korvel_datagram_received_bytes_total Bytes of the event datagrams read, refused ones included.
# TYPE korvel_datagram_received_bytes_total counter
korvel_datagram_received_bytes_total 2
# HELP korvel_datagrams_refused_total Event datagrams dropped because their sender is outside the allowed list.
# TYPE korvel_datagrams_refused_total counter
korvel_datagrams_refused_total 3
# HELP korvel_datagrams_dropped_by_host_total Event datagrams the host dropped because the event socket's receive buffer was full.
# TYPE korvel_datagrams_dropped_by_host_total counter
korvel_datagrams_dropped_by_host_total 8
# HELP korvel_parts_sent_total Stream parts sent to clients: one event part per client an event went to, and keep-alive parts.
# TYPE korvel_parts_sent_total counter
korvel_parts_sent_total{part="event"} 4
korvel_parts_sent_total{part="keepalive"} 5
# HELP korvel_sent_bytes_total Bytes written to clients' sockets.
# TYPE korvel_sent_bytes_total counter
korvel_sent_bytes_total 7
# HELP korvel_clients_admitted_total Client connections admitted.
# TYPE korvel_clients_admitted_total counter
korvel_clients_admitted_total 6
# HELP korvel_sessions_ended_total Client sessions ended, and connections refused, by reason.
# TYPE korvel_sessions_ended_total counter
korvel_sessions_ended_total{reason="peer_closed"} 11
korvel_sessions_ended_total{reason="idle_request"} 12
korvel_sessions_ended_total{reason="request_too_long"} 13
korvel_sessions_ended_total{reason="data_after_answer"} 14
korvel_sessions_ended_total{reason="slow_client"} 15
korvel_sessions_ended_total{reason="socket_error"} 16
korvel_sessions_ended_total{reason="page_served"} 17
korvel_sessions_ended_total{reason="not_allowed"} 18
korvel_sessions_ended_total{reason="array_full"} 19
# HELP korvel_clients_connected Client connections open now.
# TYPE korvel_clients_connected gauge
korvel_clients_connected 19000
# HELP korvel_clients_streaming Clients receiving a stream now, by its kind.
# TYPE korvel_clients_streaming gauge
korvel_clients_streaming{kind="multipart"} 10
korvel_clients_streaming{kind="event_stream"} 20
# HELP korvel_replay_events Events kept for clients that resume.
# TYPE korvel_replay_events gauge
korvel_replay_events 30
# HELP korvel_replay_bytes Bytes of event text and framing kept for replay.
# TYPE korvel_replay_bytes gauge
korvel_replay_bytes 40
# HELP korvel_log_lines_dropped_total Debug log lines dropped while the log file could not be written.
# TYPE korvel_log_lines_dropped_total counter
korvel_log_lines_dropped_total 9
# HELP process_cpu_seconds_total User and system CPU time in seconds.
# TYPE process_cpu_seconds_total counter
process_cpu_seconds_total 12.5
# HELP process_resident_memory_bytes Resident memory in bytes.
# TYPE process_resident_memory_bytes gauge
process_resident_memory_bytes 52428800
# HELP process_open_fds Open file descriptors, or handles on Windows.
# TYPE process_open_fds gauge
process_open_fds 19005
# HELP process_start_time_seconds Start time of the process in seconds since the Unix epoch.
# TYPE process_start_time_seconds gauge
process_start_time_seconds 1700000000.25
)");
}
