#include "relay/wire/event_stream_format.h"

#include <memory>

namespace {

SharedBytes Bytes(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

}  // namespace

SharedBytes EventStreamHeader(std::string_view allowedOrigin) {
  // EventSource reconnects after the retry time; a short one keeps a resumed client's gap small.
  static const std::string_view Head =
      "HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n";
  static const std::string_view Tail = "\r\nretry: 1000\n\n";
  static const SharedBytes Plain = Bytes(std::string(Head).append(Tail));
  if (allowedOrigin.empty()) return Plain;
  return Bytes(std::string(Head)
                   .append("Access-Control-Allow-Origin: ")
                   .append(allowedOrigin)
                   .append("\r\nVary: Origin\r\n")
                   .append(Tail));
}

SharedBytes EventStreamEvent(std::string_view id, std::int64_t atMs, std::string_view senderIp,
                             std::string_view eventText) {
  std::string event;
  event.reserve(64 + id.size() + senderIp.size() + eventText.size() + eventText.size() / 8);
  event.append("id: ").append(id).append("\ndata: {\"at\":").append(std::to_string(atMs));
  event.append(",\"from\":\"").append(senderIp).append("\",");
  if (IsValidUtf8(eventText)) {
    event.append("\"text\":\"");
    AppendJsonString(event, eventText);
  } else {
    event.append("\"base64\":\"");
    AppendBase64(event, eventText);
  }
  event.append("\"}\n\n");
  return Bytes(std::move(event));
}

SharedBytes EventStreamKeepAlive(std::string_view localDateTime) {
  return Bytes(std::string(": ").append(localDateTime).append("\n\n"));
}

SharedBytes EventStreamAlive(std::int64_t atMs) {
  return Bytes("event: alive\ndata: {\"at\":" + std::to_string(atMs) + "}\n\n");
}

SharedBytes EventStreamMissed(std::optional<std::uint64_t> count) {
  return Bytes("event: missed\ndata: {\"missed\":" + (count ? std::to_string(*count) : "null") +
               "}\n\n");
}

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char Hex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && c != '"' && c != '\\') {
      out += c;
      continue;
    }
    out += '\\';
    switch (c) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      default: out.append("u00").append(1, Hex[byte >> 4]).append(1, Hex[byte & 15]);
    }
  }
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The sequence's length and the range its second byte must fall in, which rules out
    // overlong forms, surrogates and code points past U+10FFFF.
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

void AppendBase64(std::string& out, std::string_view bytes) {
  static constexpr char Digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                            static_cast<unsigned char>(bytes[i + 1]) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += Digits[n >> 18];
    out += Digits[n >> 12 & 63];
    out += Digits[n >> 6 & 63];
    out += Digits[n & 63];
  }
  if (i == bytes.size()) return;
  const bool two = bytes.size() - i == 2;
  const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                          (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0);
  out += Digits[n >> 18];
  out += Digits[n >> 12 & 63];
  out += two ? Digits[n >> 6 & 63] : '=';
  out += '=';
}
