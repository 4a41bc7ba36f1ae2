#include "relay/send_queue.h"

#include <gtest/gtest.h>

namespace {

SharedBytes Bytes(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

std::string Gathered(SendQueue& queue) {
  std::string text;
  for (const asio::const_buffer& buffer : queue.Gather()) {
    text.append(static_cast<const char*>(buffer.data()), buffer.size());
  }
  return text;
}

TEST(SendQueue, PartialWritesResumeMidPartInOrder) {
  SendQueue queue;
  queue.Push(Bytes("header"));
  queue.Push(Bytes(""));
  queue.Push(Bytes("part1"));
  queue.Push(Bytes("part2"));
  EXPECT_EQ(queue.WaitingBytes(), 16u);
  EXPECT_EQ(queue.Gather().size(), 3u);
  queue.Consume(4);
  EXPECT_EQ(Gathered(queue), "erpart1part2");
  queue.Consume(2 + 5);
  EXPECT_EQ(Gathered(queue), "part2");
  queue.Consume(5);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.WaitingBytes(), 0u);
}

TEST(SendQueue, SharesPartsWithoutCopyingAndGathersABoundedNumber) {
  SendQueue queue;
  const SharedBytes part = Bytes("shared");
  for (std::size_t i = 0; i < SendQueue::MaxGather + 10; ++i) queue.Push(part);
  EXPECT_EQ(part.use_count(), static_cast<long>(SendQueue::MaxGather + 11));
  const auto& buffers = queue.Gather();
  EXPECT_EQ(buffers.size(), SendQueue::MaxGather);
  EXPECT_EQ(buffers.front().data(), part->data());
  queue.Clear();
  EXPECT_EQ(part.use_count(), 1);
  EXPECT_EQ(queue.WaitingBytes(), 0u);
}

}  // namespace
