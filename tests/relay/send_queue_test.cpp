#include "relay/send_queue.h"

#include <gtest/gtest.h>

namespace {

std::string Gathered(SendQueue& queue) {
  std::string text;
  for (const asio::const_buffer& buffer : queue.Gather())
    text.append(static_cast<const char*>(buffer.data()), buffer.size());
  return text;
}

}  // namespace

// Each row: bytes the socket took in successive writes, and what must be left to send, from
// parts "abc", "" and "de".
TEST(SendQueue, ConsumesWhatTheSocketTookAndGathersTheRestFromWithinAPart) {
  const std::pair<std::vector<std::size_t>, std::string> rows[] = {
      {{}, "abcde"}, {{1}, "bcde"}, {{1, 1}, "cde"}, {{3}, "de"},
      {{2, 2}, "e"}, {{4, 1}, ""},  {{5}, ""},
  };
  for (const auto& [writes, left] : rows) {
    SendQueue queue;
    for (const char* part : {"abc", "", "de"}) queue.Push(std::make_shared<const std::string>(part));
    for (std::size_t written : writes) queue.Consume(written);
    EXPECT_EQ(Gathered(queue), left) << writes.size();
    EXPECT_EQ(queue.WaitingBytes(), left.size()) << writes.size();
    EXPECT_EQ(queue.Empty(), left.empty()) << writes.size();
  }
}
