// The way through the kept events up to the live ones, for a browser's event stream that resumes
// and for any client that asks for the recent events: a bounded batch at a time, so that a long
// absence or a large request never puts more in a client's queue than the send limit allows.
// Also the event-stream answer's header, where a client starts, and what follows once a client
// has taken what was queued for it.
#include <algorithm>

#include "common/string_helpers.h"
#include "relay/core/form1.h"
#include "relay/wire/event_stream_format.h"
#include "relay/wire/stream_format.h"

namespace {

// Queued per batch of kept events; the next batch follows once the client has taken this one.
constexpr std::size_t CatchUpBytes = 256 * 1024;

// The most recent events a client may ask for on opening: enough to fill a viewer's screen
// several times over, and few enough that finding them never scans more than a small part of a
// large ring for a client whose filters accept little. Longer histories are for resumption.
constexpr std::uint64_t MostRecent = 1000;

// recent=N; anything but a number asks for none.
std::uint64_t RecentCount(const QueryParams& params) {
  const std::string value = GetParam(params, "recent");
  if (value.empty() || value.size() > 9 ||
      value.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::min<std::uint64_t>(std::stoul(value), MostRecent);
}

bool Accepts(const SessionFilters& filters, const RecentEvent& event) {
  return (filters.SourceIp.empty() || filters.SourceIp == event.SenderIp()) &&
         event.Text().find(filters.TextFilter) != std::string_view::npos;
}

}  // namespace

void Form1::AnswerEventStream(ElementIndex Index) {
  ClientSession& session = Sessions[Index];
  const std::string origin = LowerCase(HeaderValue(session.RequestBuffer, "Origin"));
  const std::vector<std::string>& allowed = Config.AllowedOrigins;
  const bool any = std::find(allowed.begin(), allowed.end(), "*") != allowed.end();
  const bool listed = std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
  wSession.SendData(Index, EventStreamHeader(origin.empty() ? "" : any ? "*" : listed ? origin : ""));

  // EventSource sends the header by itself when it reconnects; the query key is for clients
  // that cannot set headers.
  std::string lastId = HeaderValue(session.RequestBuffer, "Last-Event-ID");
  if (lastId.empty()) lastId = GetParam(session.Params, "last_event_id");
  session.NamedKeepAlive = GetParam(session.Params, "heartbeat") == "1";
  if (lastId.empty()) return StartCatchUp(Index, RecentStart(session));
  const ReplayRing::Resumption resumption = Recent.ResumeAfter(lastId);
  if (!resumption.Complete) wSession.SendData(Index, EventStreamMissed(resumption.Missed));
  StartCatchUp(Index, resumption.Next);
}

// Where the last N kept events that the client's filters accept begin; without the ring (no
// browser answers) there are none, and the client starts with the live stream.
std::uint64_t Form1::RecentStart(const ClientSession& session) {
  const std::uint64_t wanted = RecentCount(session.Params);
  std::uint64_t seq = Recent.NextSeq();
  for (std::uint64_t found = 0; found < wanted && seq > Recent.OldestSeq();) {
    found += Accepts(session.Filters, *Recent.Find(--seq));
  }
  return seq;
}

void Form1::StartCatchUp(ElementIndex Index, std::uint64_t from) {
  Sessions[Index].ReplayNext = from;
  Sessions[Index].CatchingUp = true;
  ContinueCatchUp(Index);
}

void Form1::ContinueCatchUp(ElementIndex Index) {
  ClientSession& session = Sessions[Index];
  // Only the event stream can tell a client of events it may have missed.
  const bool eventStream = session.Answer == AnswerKind::EventStream;
  std::size_t queued = 0;
  while (session.ReplayNext < Recent.NextSeq()) {
    if (session.ReplayNext < Recent.OldestSeq()) {
      // The ring let go of events while this client was still on its way to them.
      if (eventStream)
        wSession.SendData(Index, EventStreamMissed(Recent.OldestSeq() - session.ReplayNext));
      session.ReplayNext = Recent.OldestSeq();
      continue;
    }
    RecentEvent& event = *Recent.Find(session.ReplayNext++);
    if (eventStream && event.Missed()) wSession.SendData(Index, EventStreamMissed(event.MissedCount()));
    if (!Accepts(session.Filters, event)) continue;
    const SharedBytes& bytes = eventStream ? EventStreamBytes(event) : MultipartBytes(event);
    wSession.SendData(Index, bytes);
    ++Counted.EventParts;
    if ((queued += bytes->size()) >= CatchUpBytes) {
      wSession.NotifyWhenSent(Index);
      return;
    }
  }
  session.CatchingUp = false;
}

void Form1::wSession_SendComplete(ElementIndex Index) {
  if (!IsClientElement(Index) || wSession.State(Index) != SocketState::Connected) return;
  if (Sessions[Index].CatchingUp) ContinueCatchUp(Index);
  if (Sessions[Index].Answer == AnswerKind::ViewerPage) {
    CloseConnection(Index, SessionEnd::PageServed);
  }
}

const SharedBytes& Form1::EventStreamBytes(RecentEvent& event) {
  if (event.EventStreamBytes) return event.EventStreamBytes;
  return Recent.KeepFraming(event.EventStreamBytes,
                            EventStreamEvent(Recent.IdOf(event), event.AtMs(), event.SenderIp(),
                                             event.Text()));
}

const SharedBytes& Form1::MultipartBytes(RecentEvent& event) {
  if (event.MultipartBytes) return event.MultipartBytes;
  return Recent.KeepFraming(event.MultipartBytes,
                            EventPart(event.Text(), Config.UseEventContentType));
}

const SharedBytes& Form1::EventStreamKeepAliveFor(const ClientSession& session,
                                                  EventStreamTick& tick) {
  if (!session.NamedKeepAlive) {
    if (!tick.Comment) tick.Comment = EventStreamKeepAlive(tick.LocalTime);
    return tick.Comment;
  }
  if (tick.Named) return tick.Named;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock.Now().time_since_epoch());
  return tick.Named = EventStreamAlive(now.count());
}
