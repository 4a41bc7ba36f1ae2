#include "relay/wire/stream_format.h"

#include <string>

namespace {

constexpr std::string_view CrLf = "\r\n";

std::string DelimiterLine() {
  return "--" + std::string(StreamBoundary) + std::string(CrLf);
}

SharedBytes Part(std::string_view headerLine, std::string_view body) {
  const std::string delimiter = DelimiterLine();
  std::string part;
  part.reserve(headerLine.size() + 3 * CrLf.size() + body.size() + delimiter.size());
  part.append(headerLine).append(CrLf).append(CrLf).append(body).append(CrLf).append(delimiter);
  return std::make_shared<const std::string>(std::move(part));
}

}  // namespace

const SharedBytes& ResponseHeader() {
  static const SharedBytes header = std::make_shared<const std::string>(
      "HTTP/1.0 200 OK\r\n"
      "Content-Type: multipart/x-mixed-replace;boundary=" +
      std::string(StreamBoundary) + "\r\n\r\n" + DelimiterLine());
  return header;
}

SharedBytes EventPart(std::string_view eventText, bool UseEventContentType) {
  return Part(
      UseEventContentType ? "Content-Type: text/x-zelva-event" : "Content-Type: text/plaintext",
      eventText);
}

SharedBytes KeepAlivePart(std::string_view localDateTime) {
  return Part("Content-Type: text/keepalive", localDateTime);
}
