#include "relay/form1.h"

ElementIndex Form1::FindFreeSession() {
  const int highest = wSession.HighestIndex();
  for (int i = 1; i <= highest; ++i) {
    const auto index = static_cast<ElementIndex>(i);
    const int state = wSession.State(index);
    if (state == SocketState::Connected) continue;
    if (state == SocketState::Closed) return index;
    // A stale element (after a socket error, say) is made free for the next search, not this one.
    wSession.Close(index);
    ClearSession(index);
  }
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
