#include "relay/wire/request_reader.h"

namespace {
constexpr std::string_view EndOfRequest = "\r\n\r\n";
}

RequestProgress ReadArrival(std::string& requestBuffer, bool answered, std::string_view arrival) {
  if (arrival.empty() || arrival.size() > MaxArrivalLength) return RequestProgress::Ignored;
  if (answered) return RequestProgress::AfterAnswer;
  if (requestBuffer.size() >= MaxRequestLength) return RequestProgress::TooLong;
  // Earlier text held no end marker (or the request would be answered), so only the new text
  // and the three characters before it need searching.
  const std::size_t searchFrom = requestBuffer.size() >= 3 ? requestBuffer.size() - 3 : 0;
  requestBuffer += arrival;
  return requestBuffer.find(EndOfRequest, searchFrom) == std::string::npos
             ? RequestProgress::Incomplete
             : RequestProgress::Complete;
}
