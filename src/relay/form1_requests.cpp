#include "relay/form1.h"
#include "relay/stream_format.h"

namespace {
constexpr std::string_view EndOfRequest = "\r\n\r\n";
}

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
