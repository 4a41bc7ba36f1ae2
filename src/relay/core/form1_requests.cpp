// What a client asks for: its request, framed from its arrivals, and the answer that starts its
// stream.
#include "relay/core/form1.h"
#include "relay/wire/content_negotiation.h"
#include "relay/wire/request_reader.h"
#include "relay/wire/stream_format.h"
#include "relay/wire/viewer_page.h"

namespace {

// The page has a length, so the browser knows it is whole when the relay closes the connection.
const SharedBytes& ViewerPageAnswer() {
  static const SharedBytes answer = std::make_shared<const std::string>(
      "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
      std::to_string(ViewerPage().size()) + "\r\nCache-Control: no-cache\r\n\r\n" +
      std::string(ViewerPage()));
  return answer;
}

// Senders are compared by their address's text. An IPv6 address has many spellings and only its
// canonical one can match, so a client's is read as that; IPv4 text is taken as it stands.
std::string SourceFilter(std::string value) {
  if (value.find(':') == std::string::npos) return value;
  const std::optional<NetAddress> address = ParseAddress(value);
  return address ? AddressText(*address) : value;
}

}  // namespace

void Form1::wSession_DataArrival(ElementIndex Index, long /*bytesTotal*/) {
  if (!IsClientElement(Index)) return;
  const std::string d = wSession.GetData(Index);
  LogText(1, "Connection(", std::to_string(Index), ").GetData: ", d);

  ClientSession& session = Sessions[Index];
  switch (ReadArrival(session.RequestBuffer, session.Streaming, d)) {
    case RequestProgress::Ignored:
    case RequestProgress::Incomplete:
      return;
    case RequestProgress::TooLong:
      CloseConnection(Index, SessionEnd::RequestTooLong);
      return;
    case RequestProgress::AfterAnswer:
      CloseConnection(Index, SessionEnd::DataAfterAnswer);
      return;
    case RequestProgress::Complete:
      break;
  }
  session.Params = ParseQuery(session.RequestBuffer);
  session.Filters = {SourceFilter(GetParam(session.Params, "source_ip")),
                     GetParam(session.Params, "TextFilter")};
  session.Answer = Config.BrowserAnswers ? ChooseAnswer(session.RequestBuffer) : AnswerKind::Multipart;
  session.Streaming = true;
  switch (session.Answer) {
    case AnswerKind::Multipart:
      wSession.SendData(Index, ResponseHeader());
      StartStreaming(Index);
      StartCatchUp(Index, RecentStart(session));
      return;
    case AnswerKind::EventStream:
      StartStreaming(Index);
      AnswerEventStream(Index);
      return;
    case AnswerKind::ViewerPage:  // answered, but no stream: closed once the page is written
      wSession.SendData(Index, ViewerPageAnswer());
      wSession.NotifyWhenSent(Index);
      return;
  }
}
