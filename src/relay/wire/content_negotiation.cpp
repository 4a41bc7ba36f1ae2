#include "relay/wire/content_negotiation.h"

#include "common/string_helpers.h"

std::string HeaderValue(std::string_view request, std::string_view name) {
  const std::string wanted = LowerCase(name);
  const std::string_view headers = request.substr(0, request.find("\r\n\r\n"));
  for (std::size_t start = headers.find("\r\n"); start != std::string_view::npos;) {
    start += 2;
    const std::size_t end = std::min(headers.find("\r\n", start), headers.size());
    const std::string_view line = headers.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && LowerCase(TrimBlanks(line.substr(0, colon))) == wanted)
      return std::string(TrimBlanks(line.substr(colon + 1)));
    start = end < headers.size() ? end : std::string_view::npos;
  }
  return {};
}

namespace {

// Whether a media range's parameters (";"-separated) hold a weight of zero, which refuses it.
bool Refused(std::string_view params) {
  const std::vector<std::string> pieces = SplitString(params, ";");
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string_view param = TrimBlanks(pieces[i]);
    if (param.starts_with("q="))
      return param.substr(2).find_first_not_of("0.") == std::string_view::npos;
  }
  return false;
}

}  // namespace

bool ListsMediaType(std::string_view accept, std::string_view type) {
  const std::vector<std::string> ranges = SplitString(LowerCase(accept), ",");
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    const std::string_view range = ranges[i];
    const std::size_t semicolon = std::min(range.find(';'), range.size());
    if (TrimBlanks(range.substr(0, semicolon)) == type && !Refused(range.substr(semicolon)))
      return true;
  }
  return false;
}

AnswerKind ChooseAnswer(std::string_view request) {
  const std::string accept = HeaderValue(request, "Accept");
  if (ListsMediaType(accept, "text/event-stream")) return AnswerKind::EventStream;
  // A browser navigating to the relay; image and script requests do not list text/html.
  if (ListsMediaType(accept, "text/html")) return AnswerKind::ViewerPage;
  return AnswerKind::Multipart;
}
