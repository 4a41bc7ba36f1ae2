#include "relay/request_reader.h"

#include <gtest/gtest.h>

// Each row: the request so far, whether it was answered, the arrival, and what the reader must
// say and keep. The limits are the protocol's (1000 characters an arrival, 1000 a request),
// written out so that a changed constant fails here.
TEST(RequestReader, FramesARequestAcrossArrivalsWithinTheLimits) {
  using enum RequestProgress;
  const std::string k999(999, 'k'), k1000(1000, 'k');
  const struct {
    std::string before;
    bool answered;
    std::string arrival;
    RequestProgress progress;
    std::string after;
  } rows[] = {
      {"", false, "", Ignored, ""},
      {"GET", false, std::string(1001, 'x'), Ignored, "GET"},
      {"", false, k1000, Incomplete, k1000},
      {"", false, k999 + "\n", Incomplete, k999 + "\n"},
      {k999, false, "x", Incomplete, k999 + "x"},
      {k1000, false, "x", TooLong, k1000},
      {k999, false, "\r\n\r\n", Complete, k999 + "\r\n\r\n"},  // an arrival may cross the limit
      {"GET / HTTP/1.0\r\n", false, "\r\n", Complete, "GET / HTTP/1.0\r\n\r\n"},
      {"GET / HTTP/1.0\r\n\r", false, "\nGET", Complete, "GET / HTTP/1.0\r\n\r\nGET"},
      {"GET / HTTP/1.0\r\n\r\n", true, "x", AfterAnswer, "GET / HTTP/1.0\r\n\r\n"},
      {"GET / HTTP/1.0\r\n\r\n", true, "", Ignored, "GET / HTTP/1.0\r\n\r\n"},
  };
  for (const auto& row : rows) {
    std::string buffer = row.before;
    EXPECT_EQ(ReadArrival(buffer, row.answered, row.arrival), row.progress)
        << row.before.size() << " + " << row.arrival.size();
    EXPECT_EQ(buffer, row.after) << row.before.size() << " + " << row.arrival.size();
  }
}
