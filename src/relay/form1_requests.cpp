// What a client asks for: its request, framed from its arrivals, and the answer that starts its
// stream.
#include "relay/content_negotiation.h"
#include "relay/form1.h"
#include "relay/request_reader.h"
#include "relay/stream_format.h"

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
    case RequestProgress::AfterAnswer:
      CloseConnection(Index);
      return;
    case RequestProgress::Complete:
      break;
  }
  session.Params = ParseQuery(session.RequestBuffer);
  session.Filters = {GetParam(session.Params, "source_ip"),
                     Filters.Intern(GetParam(session.Params, "TextFilter"))};
  session.Answer = Config.BrowserAnswers ? ChooseAnswer(session.RequestBuffer) : AnswerKind::Multipart;
  if (session.Answer == AnswerKind::Multipart) wSession.SendData(Index, ResponseHeader());
  session.Streaming = true;
  Streamers.Insert(Index);
  if (session.Answer == AnswerKind::EventStream) AnswerEventStream(Index);
}
