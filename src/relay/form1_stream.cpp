// What goes out on the stream: the answer to a request, event parts and keep-alive parts.
#include <system_error>

#include "relay/form1.h"
#include "relay/stream_format.h"

namespace {

constexpr std::string_view EndOfRequest = "\r\n\r\n";

bool WantsEvent(const SessionFilters& filters, const std::string& senderIp,
                const std::string& eventText) {
  const bool sourcePasses = filters.SourceIp.empty() || filters.SourceIp == senderIp;
  const bool textPasses = eventText.find(filters.TextFilter) != std::string::npos;
  return sourcePasses && textPasses;
}

}  // namespace

void Form1::wSession_DataArrival(ElementIndex Index, long /*bytesTotal*/) {
  if (!IsClientElement(Index)) return;
  const std::string d = wSession.GetData(Index);
  LogText(1, "Connection(", std::to_string(Index), ").GetData: ", d);
  if (d.empty() || d.size() > MaxArrivalLength) return;

  ClientSession& session = Sessions[Index];
  // A full buffer or anything sent after the answer ends the session.
  if (session.RequestBuffer.size() >= MaxRequestLength || session.Streaming) {
    CloseConnection(Index);
    return;
  }
  // Earlier text held no end marker (or the session would be streaming), so only the new text
  // and the three characters before it need searching.
  const std::size_t searchFrom =
      session.RequestBuffer.size() >= 3 ? session.RequestBuffer.size() - 3 : 0;
  session.RequestBuffer += d;
  if (session.RequestBuffer.find(EndOfRequest, searchFrom) == std::string::npos) return;

  session.Params = ParseQuery(session.RequestBuffer);
  session.Filters = {GetParam(session.Params, "source_ip"), GetParam(session.Params, "TextFilter")};
  wSession.SendData(Index, ResponseHeader());
  session.Streaming = true;
}

void Form1::wListen_DataArrival(long /*bytesTotal*/) {
  std::string eventText;
  try {
    eventText = wListen.GetData();
  } catch (const std::system_error& failure) {
    LogText(10, "ListenSock error: ", failure.code().message());
  }
  if (eventText.empty()) return;

  const std::string senderIp = wListen.RemoteHostIP();
  if (Log.Accepts(1)) {  // spares every datagram the sender's texts when traffic is not logged
    LogText(1, "wListen_DataArrival: Remotehost:", wListen.RemoteHost(),
            " / RemotehostIP:", senderIp, " / RemotePort:", std::to_string(wListen.RemotePort()));
    LogText(1, eventText);
  }

  // Built at the first recipient and shared by all of them.
  SharedBytes part;
  ForEachClientElement([&](ElementIndex i) {
    if (!IsStreaming(i) || !WantsEvent(Sessions[i].Filters, senderIp, eventText)) return;
    if (!part) part = EventPart(eventText, Config.UseEventContentType);
    wSession.SendData(i, part);
  });
}

void Form1::tmrKeepAlive_Timer() {
  if (ServiceStopRequested()) {
    Shutdown();
    return;
  }
  if (++TickCounter >= TicksPerDay) TickCounter = 0;
  CloseIdle();
  Status.ShowServingCount(CountStreaming());
  if (TickCounter % KeepAliveEveryTicks == 0) {
    SendToStreaming(KeepAlivePart(LocalDateTimeText(Clock.Now())));
  }
}

int Form1::CountStreaming() {
  int count = 0;
  ForEachClientElement([&](ElementIndex i) { count += IsStreaming(i) ? 1 : 0; });
  return count;
}

void Form1::SendToStreaming(const SharedBytes& part) {
  ForEachClientElement([&](ElementIndex i) {
    if (IsStreaming(i)) wSession.SendData(i, part);
  });
}
