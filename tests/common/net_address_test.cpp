#include "common/net_address.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "common/network_list.h"

namespace {

std::string Reformat(const char* text) {
  const auto address = ParseAddress(text);
  return address ? AddressText(*address) : "(refused)";
}

// "in" or "out" for a list that parses, else its problem.
std::string Check(const char* list, const char* address) {
  std::string problem;
  const auto networks = NetworkList::Parse(list, problem);
  if (!networks) return problem;
  return networks->Contains(ParseAddress(address).value()) ? "in" : "out";
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
}

TEST(NetworkList, MatchesMergedRangesAndNamesTheEntryItRefuses) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"10.0.0.0/8", "10.0.0.0", "in"},
      {"10.0.0.0/8", "10.255.255.255", "in"},
      {"10.0.0.0/8", "9.255.255.255", "out"},
      {"10.0.0.0/8", "11.0.0.0", "out"},
      {"10.1.2.3/8", "10.200.0.1", "in"},
      {"10.1.2.3/8", "10.0.0.0", "in"},
      {"192.168.1.0/31", "192.168.1.1", "in"},
      {"192.168.1.0/31", "192.168.1.2", "out"},
      {"192.168.1.7/32", "192.168.1.7", "in"},
      {"192.168.1.7", "192.168.1.6", "out"},
      {"192.168.1.7", "192.168.1.8", "out"},
      {"0.0.0.0/0", "255.255.255.255", "in"},
      {"0.0.0.0/0", "::fffe:ffff:ffff", "out"},
      {"0.0.0.0/0", "::1:0:0:0", "out"},
      {"::ffff:0:0/96", "8.8.8.8", "in"},
      {"::ffff:10.0.0.0/104", "10.9.9.9", "in"},
      {"::ffff:10.0.0.0/104", "11.0.0.0", "out"},
      {"::/0", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "in"},
      {"8000::/1", "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "out"},
      {"2001:db8::/64", "2001:db8::ffff:ffff:ffff:ffff", "in"},
      {"2001:db8::/64", "2001:db8:0:1::", "out"},
      {"2001:db8::/64", "2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", "out"},
      {"2001:db8::/65", "2001:db8::7fff:ffff:ffff:ffff", "in"},
      {"2001:db8::/65", "2001:db8::8000:0:0:0", "out"},
      {"2001:db8:1::1/32", "2001:db8::", "in"},
      {"2001:db8::1/128", "2001:db8::1", "in"},
      {"2001:db8::1", "2001:db8::2", "out"},
      {"10.0.0.0/8,10.1.0.0/16", "10.2.0.0", "in"},
      {"10.1.0.0/16,10.0.0.0/8", "10.0.0.0", "in"},
      {"10.0.0.1,10.0.0.0,10.0.0.2", "10.0.0.2", "in"},
      {"10.0.0.0/31,10.0.0.3", "10.0.0.2", "out"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff,::", "::1", "out"},
      {" ::1 , 10.0.0.0/8 ", "::1", "in"},
      {"10.0.0.300/8", "", "'10.0.0.300/8' is not an address or network"},
      {"10.0.0.0/33", "", "'10.0.0.0/33' is not an address or network"},
      {"::ffff:0:0/129", "", "'::ffff:0:0/129' is not an address or network"},
      {"::1,10.0.0.0/-1", "", "'10.0.0.0/-1' is not an address or network"},
      {"1.2.3.4, 10.0.0.0/", "", "'10.0.0.0/' is not an address or network"},
      {"10.0.0.0/8x", "", "'10.0.0.0/8x' is not an address or network"},
      {"/8", "", "'/8' is not an address or network"},
      {"1.2.3.4,,5.6.7.8", "", "'1.2.3.4,,5.6.7.8' has an empty entry"},
      {"1.2.3.4,", "", "'1.2.3.4,' has an empty entry"},
      {" ", "", "the list of networks is empty"},
  };
  for (const auto& [list, address, expected] : rows) {
    EXPECT_EQ(Check(list, address), expected) << list << " " << address;
  }
}
