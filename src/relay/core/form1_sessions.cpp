// Who is connected: admission on the lowest free element, and every way a session ends.
#include "relay/core/form1.h"

Form1::Form1(const Settings& settings, Form1Wiring wiring)
    : Form1Wiring(std::move(wiring)),
      Config(settings),
      Sessions(static_cast<std::size_t>(wSession.HighestIndex()) + 1),
      RingSegments(Journal ? *Journal : RingMemory),
      Recent(settings.ReplayEvents, RunTag, RingSegments) {}

bool Form1::IsClientElement(ElementIndex Index) const {
  return Index >= 1 && Index <= wSession.HighestIndex();
}

ElementIndex Form1::FindFreeSession() {
  for (ElementIndex i = wSession.NextUnconnected(0); i != 0; i = wSession.NextUnconnected(i)) {
    if (wSession.State(i) == SocketState::Closed) return i;
    // One whose error has not reached the relay yet keeps it until it has, so that the session's
    // end is told and counted as what it was.
    if (Sessions[i].Admitted) continue;
    // A stale element (after a socket error, say) is made free for the next search, not this one.
    wSession.Close(i);
    ClearSession(i);
  }
  const int highest = wSession.HighestIndex();
  if (highest >= MaxElementIndex) return 0;
  wSession.AddElement();
  Sessions.resize(static_cast<std::size_t>(highest) + 2);
  return static_cast<ElementIndex>(highest + 1);
}

bool Form1::AllowedClient() {
  if (!Config.AllowedClients || Config.AllowedClients->Contains(wSession.RemoteAddress(0))) {
    return true;
  }
  LogText(3, "Refused a connection from ", wSession.RemoteHostIP(0), ": not an allowed client");
  Counted.Ended(SessionEnd::NotAllowed);
  return false;
}

void Form1::wSession_ConnectionRequest(ElementIndex Index, RequestId requestID) {
  if (Index != 0) return;
  LogText(1, "Destination connection request from:", wSession.RemoteHostIP(0));
  // Not accepting leaves the socket layer to refuse the connection.
  if (!AllowedClient()) return;
  const ElementIndex s = FindFreeSession();
  if (!IsClientElement(s) || wSession.State(s) != SocketState::Closed) {
    Counted.Ended(SessionEnd::ArrayFull);
    return;
  }
  wSession.Accept(s, requestID);
  ++Counted.ClientsAdmitted;
  Sessions[s].Admitted = true;
  Sessions[s].LastActivity = Clock.Now();
  LogText(3, "Connected to Winsock(", std::to_string(s), ")");
}

void Form1::CloseIdle() {
  ForEachClientElement([this](ElementIndex i) {
    if (wSession.State(i) != SocketState::Connected || Sessions[i].Streaming) return;
    if (Clock.Now() > Sessions[i].LastActivity + IdleTimeout) {
      CloseConnection(i, SessionEnd::IdleRequest);
    }
  });
}

void Form1::CloseConnection(ElementIndex Index, SessionEnd why) {
  Teardown(Index, ").Closed by host", why);
}

void Form1::wSession_Close(ElementIndex Index) {
  // The listener is never closed from here, whatever the socket layer reports.
  if (!IsClientElement(Index)) return;
  Teardown(Index, ").Closed by peer", SessionEnd::PeerClosed);
}

void Form1::wSession_Error(ElementIndex Index, int Number, const std::string& Description) {
  // Logged and counted: the element keeps the state the socket layer gave it, and the next
  // search for a free element closes and clears it.
  LogText(3, "Connection(", std::to_string(Index), ").Error ", Description);
  EndSession(Index, Number == wSession.ClientNotReadingError() ? SessionEnd::SlowClient
                                                      : SessionEnd::SocketError);
}

void Form1::Teardown(ElementIndex Index, const char* ending, SessionEnd why) {
  LogText(3, "Connection(", std::to_string(Index), ending);
  EndSession(Index, why);
  wSession.Close(Index);
  ClearSession(Index);
}

void Form1::EndSession(ElementIndex Index, SessionEnd why) {
  if (!Sessions[Index].Admitted) return;
  Sessions[Index].Admitted = false;
  Counted.Ended(why);
}

void Form1::StartStreaming(ElementIndex Index) {
  const ClientSession& session = Sessions[Index];
  Streamers.Insert(Index);
  if (session.Answer == AnswerKind::EventStream) EventStreamers.Insert(Index);
  Receivers.Join(Index, session.Filters.SourceIp, session.Filters.TextFilter);
}

void Form1::StopStreaming(ElementIndex Index) {
  Streamers.Erase(Index);
  EventStreamers.Erase(Index);
  Receivers.Leave(Index);
}

void Form1::ClearSession(ElementIndex Index) {
  StopStreaming(Index);
  ClientSession& session = Sessions[Index];
  session.Streaming = false;
  session.RequestBuffer.clear();
  session.Answer = AnswerKind::Multipart;
  session.CatchingUp = false;
}
