// What a metrics scrape reads: the counters, and what the sockets, the log and the ring hold.
#include <numeric>

#include "relay/core/form1.h"

MetricsSample Form1::Sample() {
  MetricsSample sample;
  sample.Counters = Counted;
  sample.BytesSent = wSession.BytesSent();
  sample.DatagramsDroppedByHost = wListen.DroppedByHost();
  sample.LogLinesDropped = Log.LinesDropped();
  // Refused connections and those the full array turned away were never admitted.
  const auto& ended = Counted.SessionsEnded;
  const std::uint64_t admittedThenEnded =
      std::accumulate(ended.begin(), ended.end(), std::uint64_t{0}) -
      ended[static_cast<std::size_t>(SessionEnd::NotAllowed)] -
      ended[static_cast<std::size_t>(SessionEnd::ArrayFull)];
  sample.ClientsConnected = Counted.ClientsAdmitted - admittedThenEnded;
  ForEachStreaming([&](ElementIndex i) {
    ++(Sessions[i].Answer == AnswerKind::EventStream ? sample.StreamingEventStream
                                                      : sample.StreamingMultipart);
  });
  sample.ReplayEvents = Recent.Size();
  sample.ReplayBytes = Recent.Bytes();
  sample.JournalWriteFailures = RingSegments.Failures();
  return sample;
}
