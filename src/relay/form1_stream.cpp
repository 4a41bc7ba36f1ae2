// What goes out on the stream: event parts to the sessions whose filters accept them, and on the
// tick, idle closes, the count and keep-alive parts.
#include <system_error>

#include "relay/form1.h"
#include "relay/stream_format.h"

void Form1::wListen_DataArrival(long /*bytesTotal*/) {
  std::string eventText;
  try {
    eventText = wListen.GetData();
  } catch (const std::system_error& failure) {
    LogText(10, "ListenSock error: ", failure.code().message());
  }
  if (eventText.empty()) return;

  // The sender's address as text is made only for a log line or a source filter that needs it.
  std::string senderIp;
  const auto sender = [&]() -> const std::string& {
    if (senderIp.empty()) senderIp = wListen.RemoteHostIP();
    return senderIp;
  };
  if (Log.Accepts(1)) {
    LogText(1, "wListen_DataArrival: Remotehost:", wListen.RemoteHost(),
            " / RemotehostIP:", sender(), " / RemotePort:", std::to_string(wListen.RemotePort()));
    LogText(1, eventText);
  }

  ++EventNumber;
  SharedBytes part;  // built at the first recipient and shared by all of them
  ForEachStreaming([&](ElementIndex i) {
    const SessionFilters& filters = Sessions[i].Filters;
    if (!filters.SourceIp.empty() && filters.SourceIp != sender()) return;
    if (!TextFilters::Matches(*filters.TextFilter, EventNumber, eventText)) return;
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
  ForEachStreaming([&](ElementIndex) { ++count; });
  return count;
}

void Form1::SendToStreaming(const SharedBytes& part) {
  ForEachStreaming([&](ElementIndex i) { wSession.SendData(i, part); });
}
