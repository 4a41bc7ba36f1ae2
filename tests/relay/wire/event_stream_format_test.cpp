#include "relay/wire/event_stream_format.h"

#include <gtest/gtest.h>

// What is not UTF-8 goes out as base64, so a page never receives text it would mangle.
TEST(EventStreamFormat, TellsUtf8FromOtherBytes) {
  const std::pair<std::string_view, bool> rows[] = {
      {"plain", true},          {"h\xc3\xa9", true},          {"\xe2\x98\x83", true},
      {"\xf0\x9f\x98\x80", true}, {"\xc0\xaf", false},         // overlong
      {"\xe0\x80\xaf", false},  {"\xed\xa0\x80", false},       // a surrogate
      {"\xf4\x90\x80\x80", false},                             // past U+10FFFF
      {"\xe2\x98", false},      {"\xff", false},               {"\x80", false},
  };
  for (const auto& [text, valid] : rows) EXPECT_EQ(IsValidUtf8(text), valid) << text;
}
