#include "relay/query_parsing.h"

#include <gtest/gtest.h>

TEST(ParseQuery, TakesThePairsAfterTheFirstQuestionMarkLiterally) {
  const std::pair<const char*, const char*> rows[] = {
      {"GET /path?a=1&b=2 HTTP/1.0\r\n\r\n", "a=1 b=2"},
      {"GET /?TextFilter=x\r\nHost: h\r\n\r\n", "TextFilter=x"},
      {"GET /?a=1\nHost: h\n\n", "a=1"},
      {"GET / HTTP/1.0\r\n\r\n", ""},
      {"GET /? a=1 HTTP/1.0\r\n\r\n", ""},
      {"GET / HTTP/1.0\r\nReferer: http://x/?source_ip=10.0.0.5&z=1 more\r\n\r\n",
       "source_ip=10.0.0.5 z=1"},
      {"GET /?&a&=1&a=&&k=1=2&&t=a%20b+c& HTTP/1.0\r\n\r\n", "k=1=2 t=a%20b+c"},
  };
  for (const auto& [request, expected] : rows) {
    const QueryParams params = ParseQuery(request);
    EXPECT_TRUE(params.at(0).Key.empty() && params[0].Value.empty());
    std::string pairs;
    for (std::size_t i = 1; i < params.size(); ++i)
      pairs += (i > 1 ? " " : "") + params[i].Key + "=" + params[i].Value;
    EXPECT_EQ(pairs, expected) << request;
  }
}
