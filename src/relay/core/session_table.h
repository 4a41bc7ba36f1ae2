#pragma once

#include <string>
#include <vector>

#include <cstdint>

#include "common/local_clock.h"
#include "relay/wire/content_negotiation.h"
#include "relay/wire/query_parsing.h"

// The two filters a streaming client asked for, looked up once when its request completes
// rather than for every event.
struct SessionFilters {
  std::string SourceIp;
  std::string TextFilter;
};

// Record i describes the client that socket element i serves; record 0 (the listener's) is
// never used.
struct ClientSession {
  bool Streaming = false;
  bool Admitted = false;  // until the end of its session is counted
  QueryParams Params;
  SessionFilters Filters;
  std::string RequestBuffer;
  WallTime LastActivity{};  // admission time of the current client
  AnswerKind Answer = AnswerKind::Multipart;
  // A client that resumed or asked for recent events goes through the kept events from
  // ReplayNext before it takes live ones; until then the fan-out passes it by.
  bool CatchingUp = false;
  std::uint64_t ReplayNext = 0;
  // The event before which it was told on resuming that events may be missing: a gap that event
  // tells of too is told once.
  std::uint64_t ToldMissedBefore = ~std::uint64_t{0};
  // An event-stream client that asked to see the keep-alives: EventSource hides comments.
  bool NamedKeepAlive = false;
  std::uint64_t AcceptedEvent = 0;  // the last event its filters accepted, while it is fanned out
};

using SessionTable = std::vector<ClientSession>;
