#include "relay/backend/send_queue.h"

#include <gtest/gtest.h>

// Each row: bytes the socket took in successive writes from parts "abc", "" and "de", and what
// must be left to send.
TEST(SendQueue, ConsumesWhatTheSocketTookAndGathersTheRestFromWithinAPart) {
  const std::pair<std::vector<std::size_t>, std::string> rows[] = {
      {{}, "abcde"}, {{1}, "bcde"}, {{1, 1}, "cde"}, {{3}, "de"}, {{2, 2}, "e"}, {{4, 1}, ""},
  };
  for (const auto& [writes, left] : rows) {
    SendQueue queue;
    for (const char* part : {"abc", "", "de"}) queue.Push(std::make_shared<const std::string>(part));
    for (std::size_t written : writes) queue.Consume(written);
    std::string gathered;
    for (const asio::const_buffer& buffer : queue.Gather())
      gathered.append(static_cast<const char*>(buffer.data()), buffer.size());
    EXPECT_EQ(std::tuple(gathered, queue.WaitingBytes(), queue.Empty()),
              std::tuple(left, left.size(), left.empty()));
  }
}
