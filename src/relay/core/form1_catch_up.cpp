// The event-stream answer for browsers: its header, where a resuming client starts, and its way
// through the kept events up to the live ones, a bounded batch at a time so that a long absence
// never puts more in its queue than the send limit allows; and what follows once a client has
// taken what was queued for it.
#include <algorithm>

#include "common/string_helpers.h"
#include "relay/core/form1.h"
#include "relay/wire/event_stream_format.h"

namespace {

// Queued per batch of kept events; the next batch follows once the client has taken this one.
constexpr std::size_t CatchUpBytes = 256 * 1024;

bool Accepts(const SessionFilters& filters, const RecentEvent& event) {
  return (filters.SourceIp.empty() || filters.SourceIp == event.SenderIp) &&
         event.Text->find(filters.TextFilter) != std::string::npos;
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
  session.ReplayNext = Recent.NextSeq();
  if (!lastId.empty()) {
    const ReplayRing::Resumption resumption = Recent.ResumeAfter(lastId);
    if (!resumption.Complete) wSession.SendData(Index, EventStreamMissed(resumption.Missed));
    session.ReplayNext = resumption.Next;
  }
  session.CatchingUp = true;
  ContinueCatchUp(Index);
}

void Form1::ContinueCatchUp(ElementIndex Index) {
  ClientSession& session = Sessions[Index];
  std::size_t queued = 0;
  while (session.ReplayNext < Recent.NextSeq()) {
    if (session.ReplayNext < Recent.OldestSeq()) {
      // The ring let go of events while this client was still on its way to them.
      wSession.SendData(Index, EventStreamMissed(Recent.OldestSeq() - session.ReplayNext));
      session.ReplayNext = Recent.OldestSeq();
      continue;
    }
    RecentEvent& event = *Recent.Find(session.ReplayNext++);
    if (event.MissedBefore > 0) wSession.SendData(Index, EventStreamMissed(event.MissedBefore));
    if (!Accepts(session.Filters, event)) continue;
    const SharedBytes& bytes = EventStreamBytes(event);
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
  return Recent.KeepFraming(
      event, EventStreamEvent(Recent.IdOf(event), event.AtMs, event.SenderIp, *event.Text));
}
