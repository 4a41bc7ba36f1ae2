#include <system_error>

#include "relay/form1.h"
#include "relay/stream_format.h"

namespace {

bool WantsEvent(const SessionFilters& filters, const std::string& senderIp,
                const std::string& eventText) {
  const bool sourcePasses = filters.SourceIp.empty() || filters.SourceIp == senderIp;
  const bool textPasses = eventText.find(filters.TextFilter) != std::string::npos;
  return sourcePasses && textPasses;
}

}  // namespace

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
