#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// Why a client's session ended, or why a connection never became one.
enum class SessionEnd : std::uint8_t {
  PeerClosed,
  IdleRequest,
  RequestTooLong,
  DataAfterAnswer,
  SlowClient,
  SocketError,
  PageServed,
  NotAllowed,
  ArrayFull,
};
constexpr std::size_t SessionEndKinds = 9;

// What the relay counts as it works: plain increments on its one thread, read by a scrape on the
// same thread.
struct RelayCounters {
  std::uint64_t DatagramsReceived = 0;  // every datagram read, refused ones included
  std::uint64_t DatagramBytesReceived = 0;
  std::uint64_t DatagramsRefused = 0;  // from senders outside the allowed list
  std::uint64_t EventParts = 0;        // one per client an event went to
  std::uint64_t KeepAliveParts = 0;
  std::uint64_t ClientsAdmitted = 0;
  std::array<std::uint64_t, SessionEndKinds> SessionsEnded{};

  void Ended(SessionEnd why) { ++SessionsEnded[static_cast<std::size_t>(why)]; }
};

// A scrape's view of the relay: its counters and what its parts hold at that moment.
struct MetricsSample {
  RelayCounters Counters;
  std::uint64_t BytesSent = 0;  // written to clients' sockets
  std::optional<std::uint64_t> DatagramsDroppedByHost;  // absent where the host does not tell
  std::uint64_t LogLinesDropped = 0;
  std::uint64_t ClientsConnected = 0;
  std::uint64_t StreamingMultipart = 0;
  std::uint64_t StreamingEventStream = 0;
  std::uint64_t ReplayEvents = 0;
  std::uint64_t ReplayBytes = 0;
  std::uint64_t JournalWriteFailures = 0;
};
