#include "common/net_address.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

std::string Reformat(const char* text) {
  const auto address = ParseAddress(text);
  return address ? AddressText(*address) : "(refused)";
}

}  // namespace

TEST(NetAddress, ReadsBothFamiliesAndWritesTheCanonicalText) {
  const std::pair<const char*, const char*> rows[] = {
      {"2001:db8::1", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:0db8::0001", "2001:db8::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"ABC:F00:f0:F:1000:100:10:1", "abc:f00:f0:f:1000:100:10:1"},
      {"::ffff:10.1.2.3", "10.1.2.3"},
      {"::FFFF:a01:203", "10.1.2.3"},
      {"::1.2.3.4", "::102:304"},
      {"::1:ffff:1.2.3.4", "::1:ffff:102:304"},
      {"::ff:1.2.3.4", "::ff:102:304"},
      {"1:2:3:4:5:6:255.0.1.16", "1:2:3:4:5:6:ff00:110"},
      {"255.255.255.255", "255.255.255.255"},
      {"10.0.100.9", "10.0.100.9"},
      {":::", "(refused)"},
      {"1:2:3:4:5:6:7:8:9", "(refused)"},
      {"1:2:3:4:5:6:7", "(refused)"},
      {"1::2:3:4:5:6:7:8", "(refused)"},
      {"1::2::3", "(refused)"},
      {"1::2:", "(refused)"},
      {"12345::", "(refused)"},
      {"g::", "(refused)"},
      {"fe80::1%eth0", "(refused)"},
      {"1.2.3.4::", "(refused)"},
      {"::1.2.3.4:5", "(refused)"},
      {"1:2:3:4:5:6:7:1.2.3.4", "(refused)"},
      {"::01.2.3.4", "(refused)"},
      {"256.1.1.1", "(refused)"},
      {"01.2.3.4", "(refused)"},
      {"1.2.3", "(refused)"},
      {"1.2.3.4.5", "(refused)"},
      {"1.2.3.", "(refused)"},
      {"", "(refused)"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(Reformat(text), expected) << text;
  EXPECT_EQ(ParseAddress("1.2.3.4"), AddressFromV4({1, 2, 3, 4}));
  EXPECT_EQ(
      ParseAddress("2001:db8::ff00:42")->Bytes,
      (std::array<std::uint8_t, 16>{0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0, 0, 0x42}));
}
