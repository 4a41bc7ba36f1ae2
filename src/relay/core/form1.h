#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/local_clock.h"
#include "common/settings.h"
#include "log/debug_log.h"
#include "relay/core/element_set.h"
#include "relay/core/filter_index.h"
#include "relay/core/relay_counters.h"
#include "relay/core/session_table.h"
#include "relay/core/socket_control.h"
#include "relay/core/status_display.h"
#include "relay/replay/memory_segments.h"
#include "relay/replay/replay_ring.h"

// What the relay works with: its socket controls, its log, the clock, the window's count, and
// the service stop it polls every tick.
struct Form1Wiring {
  SessionSockets& wSession;
  DatagramSocket& wListen;
  DebugLog& Log;
  const LocalClock& Clock;
  StatusDisplay& Status;
  // Asked at the start of every tick; a requested stop runs Shutdown and nothing else.
  std::function<bool()> ServiceStopRequested;
  std::function<void()> Shutdown;
  // Tells this run's event ids from those of another run or relay; random in the program.
  std::uint32_t RunTag = 0;
  // Where the ring keeps its events: the journal's files, or (when null) memory alone.
  SegmentStore* Journal = nullptr;
};

// The relay: admits clients on the lowest free socket element, reads their subscription
// requests, fans every event datagram out to the streaming sessions whose filters accept it,
// and on its one-second tick closes idle clients and sends keep-alive parts.
//
// Everything runs on one thread, one event at a time, so the session table needs no lock.
class Form1 final : public SocketEvents, private Form1Wiring {
 public:
  static constexpr std::chrono::seconds IdleTimeout{10};
  static constexpr std::int32_t TicksPerDay = 86400;
  static constexpr std::int32_t KeepAliveEveryTicks = 5;

  Form1(const Settings& settings, Form1Wiring wiring);
  // Takes up the events the journal kept from the last run, before the first event of this one;
  // eventSocket is the socket the events come in on.
  void RestoreRecent(const SocketIdentity& eventSocket);
  void tmrKeepAlive_Timer();
  void CloseIdle();
  void CloseConnection(ElementIndex Index, SessionEnd why);

  void wSession_ConnectionRequest(ElementIndex Index, RequestId requestID) override;
  void wSession_DataArrival(ElementIndex Index, long bytesTotal) override;
  void wSession_Close(ElementIndex Index) override;
  void wSession_Error(ElementIndex Index, int Number, const std::string& Description) override;
  void wSession_SendComplete(ElementIndex Index) override;
  void wListen_DataArrival(long bytesTotal) override;

  const ClientSession& Session(ElementIndex Index) const { return Sessions.at(Index); }
  std::int32_t TickCount() const { return TickCounter; }
  // What a metrics scrape shows; it walks the streaming sessions to count them by kind.
  MetricsSample Sample();

 private:
  ElementIndex FindFreeSession();
  bool IsClientElement(ElementIndex Index) const;
  void ClearSession(ElementIndex Index);
  // Puts a session that answered in the sets the fan-out and the tick walk, and takes it out.
  void StartStreaming(ElementIndex Index);
  void StopStreaming(ElementIndex Index);
  bool AllowedClient();
  bool AllowedSender();
  void Teardown(ElementIndex Index, const char* ending, SessionEnd why);
  void EndSession(ElementIndex Index, SessionEnd why);
  void AnswerEventStream(ElementIndex Index);
  std::uint64_t RecentStart(const ClientSession& session);
  void StartCatchUp(ElementIndex Index, std::uint64_t from);
  void ContinueCatchUp(ElementIndex Index);
  const SharedBytes& EventStreamBytes(RecentEvent& event);
  const SharedBytes& MultipartBytes(RecentEvent& event);
  // A tick's keep-alives for event-stream clients, each form built at its first receiver.
  struct EventStreamTick {
    const std::string& LocalTime;
    SharedBytes Comment;
    SharedBytes Named;
  };
  const SharedBytes& EventStreamKeepAliveFor(const ClientSession& session, EventStreamTick& tick);
  void SendKeepAlive();
  void ReportHostDrops();
  void ReportJournalFailure();
  // The sender of the datagram being handled, as text, made once for a run of its datagrams.
  const std::string& SenderText();
  std::uint64_t NewHostDrops();
  int CountStreaming();

  // Visits the streaming sessions in ascending order, at the cost of their number. A record that
  // its element's failure left streaming leaves the sets on the way: its flag is cleared before
  // the element can be connected again.
  template <class Visit>
  void ForEachStreaming(Visit&& visit) {
    for (ElementIndex i = Streamers.Next(0); i != 0; i = Streamers.Next(i)) {
      if (wSession.State(i) == SocketState::Connected) {
        visit(i);
      } else {
        StopStreaming(i);
      }
    }
  }

  // Walks elements 1 to the highest index read once before the walk. The counter is wider than
  // an index so that a full array (index 32767) ends the walk.
  template <class Visit>
  void ForEachClientElement(Visit&& visit) {
    const int highest = wSession.HighestIndex();
    for (int i = 1; i <= highest; ++i) visit(static_cast<ElementIndex>(i));
  }

  // Joins the pieces only when the level filter lets the line through. The pieces are made by
  // the caller all the same, so a costly one belongs behind Log.Accepts.
  template <class... Pieces>
  void LogText(std::uint8_t level, const Pieces&... pieces) {
    if (!Log.Accepts(level)) return;
    std::string text;
    (text.append(pieces), ...);
    Log.Log(level, text);
  }

  const Settings& Config;
  SessionTable Sessions;
  ElementSet Streamers;       // the records whose Streaming flag is set
  ElementSet EventStreamers;  // of those, the event-stream ones, told of host drops
  FilterIndex Receivers;      // the streaming sessions by their filters
  ElementSet Serving;         // an event's receivers, while it is fanned out
  std::vector<ElementIndex> Stale;  // members the fan-out found no longer connected
  MemorySegments RingMemory;
  SegmentStore& RingSegments;
  ReplayRing Recent;
  std::uint64_t EventNumber = 0;
  std::int32_t TickCounter = 0;
  RelayCounters Counted;
  std::uint64_t ReportedHostDrops = 0;  // in the log
  std::uint64_t ToldHostDrops = 0;      // to event-stream clients
  NetAddress LastSender;
  std::string LastSenderText;
};
