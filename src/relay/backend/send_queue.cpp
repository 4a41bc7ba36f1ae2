#include "relay/backend/send_queue.h"

void SendQueue::Push(SharedBytes bytes) {
  if (bytes->empty()) return;
  Waiting += bytes->size();
  Parts.push_back(std::move(bytes));
}

const std::vector<asio::const_buffer>& SendQueue::Gather() {
  Buffers.clear();
  std::size_t offset = FrontOffset;
  for (const SharedBytes& part : Parts) {
    if (Buffers.size() == MaxGather) break;
    Buffers.emplace_back(part->data() + offset, part->size() - offset);
    offset = 0;
  }
  return Buffers;
}

void SendQueue::Consume(std::size_t count) {
  Waiting -= count;
  while (count > 0) {
    const std::size_t left = Parts.front()->size() - FrontOffset;
    if (count < left) {
      FrontOffset += count;
      return;
    }
    count -= left;
    FrontOffset = 0;
    Parts.pop_front();
  }
}

void SendQueue::Clear() {
  Parts.clear();
  FrontOffset = 0;
  Waiting = 0;
}
