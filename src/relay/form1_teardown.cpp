#include "relay/form1.h"

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
