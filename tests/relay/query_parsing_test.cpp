#include "relay/query_parsing.h"

#include <gtest/gtest.h>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Parse(const std::string& request) {
  const QueryParams params = ParseQuery(request);
  EXPECT_FALSE(params.empty());
  EXPECT_TRUE(params[0].Key.empty() && params[0].Value.empty());
  Pairs pairs;
  for (std::size_t i = 1; i < params.size(); ++i)
    pairs.emplace_back(params[i].Key, params[i].Value);
  return pairs;
}

TEST(CutToken, SplitsAtTheFirstDelimiter) {
  std::string text = "a=1=2";
  EXPECT_EQ(CutToken(text, "="), "a");
  EXPECT_EQ(text, "1=2");
  text = "no delimiter";
  EXPECT_EQ(CutToken(text, "?"), "no delimiter");
  EXPECT_EQ(text, "");
  text = "ends?";
  EXPECT_EQ(CutToken(text, "?"), "ends");
  EXPECT_EQ(text, "");
  EXPECT_EQ(DelimiterPos(1, "abc", "c"), 3u);
  EXPECT_EQ(DelimiterPos(1, "abc", "x"), 4u);
}

TEST(ParseQuery, TakesTheQueryOfTheRequestLine) {
  EXPECT_EQ(Parse("GET /path?a=1&b=2 HTTP/1.0\r\n\r\n"), Pairs({{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(Parse("GET /?TextFilter=x\r\nHost: h\r\n\r\n"), Pairs({{"TextFilter", "x"}}));
  EXPECT_EQ(Parse("GET /?a=1\nHost: h\n\n"), Pairs({{"a", "1"}}));
  EXPECT_EQ(Parse("GET / HTTP/1.0\r\n\r\n"), Pairs());
  EXPECT_EQ(Parse("GET /? a=1 HTTP/1.0\r\n\r\n"), Pairs());
}

TEST(ParseQuery, FallsBackToTheFirstQuestionMarkAnywhere) {
  EXPECT_EQ(Parse("GET / HTTP/1.0\r\nReferer: http://x/?source_ip=10.0.0.5&z=1 more\r\n\r\n"),
            Pairs({{"source_ip", "10.0.0.5"}, {"z", "1"}}));
}

TEST(ParseQuery, SkipsEmptyKeysAndValuesAndDecodesNothing) {
  EXPECT_EQ(Parse("GET /?&a&=1&a=&&k=1=2&&t=a%20b+c& HTTP/1.0\r\n\r\n"),
            Pairs({{"k", "1=2"}, {"t", "a%20b+c"}}));
}

TEST(GetParam, MatchesKeysWithoutCaseAndTheLastMatchWins) {
  const QueryParams params =
      ParseQuery("GET /?TEXTFILTER=first&source_IP=10.0.0.5&textfilter=second HTTP/1.0\r\n\r\n");
  EXPECT_EQ(GetParam(params, "TextFilter"), "second");
  EXPECT_EQ(GetParam(params, "SOURCE_IP"), "10.0.0.5");
  EXPECT_EQ(GetParam(params, "missing"), "");
  EXPECT_EQ(params[1].Key, "TEXTFILTER");  // stored as sent
  EXPECT_EQ(GetParam(ParseQuery("no query"), "TextFilter"), "");
}

}  // namespace
