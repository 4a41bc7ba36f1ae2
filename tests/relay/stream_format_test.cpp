#include "relay/stream_format.h"

#include <gtest/gtest.h>

namespace {

const std::string Delimiter = "--ABCDEF12345678\r\n";

TEST(StreamFormat, ResponseHeaderIsExactlyTheseBytes) {
  const std::string& header = *ResponseHeader();
  EXPECT_EQ(header,
            "HTTP/1.0 200 OK\r\n"
            "Content-Type: multipart/x-mixed-replace;boundary=ABCDEF12345678\r\n"
            "\r\n"
            "--ABCDEF12345678\r\n");
  EXPECT_EQ(header.size(), 102u);
  EXPECT_EQ(ResponseHeader(), ResponseHeader());  // one shared buffer
}

TEST(StreamFormat, EventPartFramesTheTextUnchanged) {
  EXPECT_EQ(*EventPart("abc", true),
            "Content-Type: text/x-zelva-event\r\n\r\nabc\r\n--ABCDEF12345678\r\n");
  EXPECT_EQ(EventPart("abc", true)->size(), 59u);

  const std::string awkward = std::string("line\r\n", 6) + std::string(1, '\0') + "\xFF " +
                              Delimiter + "--ABCDEF12345678--\r\n";
  const std::string part = *EventPart(awkward, true);
  EXPECT_EQ(part.size(), awkward.size() + 56);
  EXPECT_EQ(part.substr(36, awkward.size()), awkward);
  EXPECT_TRUE(part.ends_with("\r\n" + Delimiter));
}

TEST(StreamFormat, KeepAliveAndPlainTextPartsHaveFiftyTwoBytesOfFraming) {
  EXPECT_EQ(*KeepAlivePart("12/07/26 10:00:05"),
            "Content-Type: text/keepalive\r\n\r\n12/07/26 10:00:05\r\n--ABCDEF12345678\r\n");
  EXPECT_EQ(KeepAlivePart("x")->size(), 53u);
  EXPECT_EQ(*EventPart("x", false), "Content-Type: text/plaintext\r\n\r\nx\r\n" + Delimiter);
}

}  // namespace
