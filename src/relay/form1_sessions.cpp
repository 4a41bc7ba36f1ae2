// Who is connected: admission on the lowest free element, and every way a session ends.
#include "relay/form1.h"

Form1::Form1(const Settings& settings, Form1Wiring wiring)
    : Form1Wiring(std::move(wiring)),
      Config(settings),
      Sessions(static_cast<std::size_t>(wSession.HighestIndex()) + 1),
      Recent(settings.ReplayEvents, RunTag) {}

bool Form1::IsClientElement(ElementIndex Index) const {
  return Index >= 1 && Index <= wSession.HighestIndex();
}

ElementIndex Form1::FindFreeSession() {
  for (ElementIndex i = wSession.NextUnconnected(0); i != 0; i = wSession.NextUnconnected(i)) {
    if (wSession.State(i) == SocketState::Closed) return i;
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

void Form1::wSession_ConnectionRequest(ElementIndex Index, RequestId requestID) {
  if (Index != 0) return;
  LogText(1, "Destination connection request from:", wSession.RemoteHostIP(0));
  const ElementIndex s = FindFreeSession();
  // Not accepting leaves the socket layer to refuse the connection.
  if (!IsClientElement(s) || wSession.State(s) != SocketState::Closed) return;
  wSession.Accept(s, requestID);
  Sessions[s].LastActivity = Clock.Now();
  LogText(3, "Connected to Winsock(", std::to_string(s), ")");
}

void Form1::CloseIdle() {
  ForEachClientElement([this](ElementIndex i) {
    if (wSession.State(i) != SocketState::Connected || Sessions[i].Streaming) return;
    if (Clock.Now() > Sessions[i].LastActivity + IdleTimeout) CloseConnection(i);
  });
}

void Form1::CloseConnection(ElementIndex Index) {
  Teardown(Index, ").Closed by host");
}

void Form1::wSession_Close(ElementIndex Index) {
  // The listener is never closed from here, whatever the socket layer reports.
  if (!IsClientElement(Index)) return;
  Teardown(Index, ").Closed by peer");
}

void Form1::wSession_Error(ElementIndex Index, int /*Number*/, const std::string& Description) {
  // Only logged: the element keeps the state the socket layer gave it, and the next search for a
  // free element closes and clears it.
  LogText(3, "Connection(", std::to_string(Index), ").Error ", Description);
}

void Form1::Teardown(ElementIndex Index, const char* ending) {
  LogText(3, "Connection(", std::to_string(Index), ending);
  wSession.Close(Index);
  ClearSession(Index);
}

void Form1::ClearSession(ElementIndex Index) {
  Streamers.Erase(Index);
  ClientSession& session = Sessions[Index];
  session.Streaming = false;
  session.RequestBuffer.clear();
  session.Answer = AnswerKind::Multipart;
  session.CatchingUp = false;
}
