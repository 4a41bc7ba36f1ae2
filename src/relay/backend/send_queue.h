#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "asio/buffer.hpp"
#include "relay/core/socket_control.h"

// One session's bytes waiting to be sent: shared parts in order, with how much of the first
// one has already gone out. Nothing is copied; a write takes several parts at once.
class SendQueue {
 public:
  // Enough parts per gather write to fill a socket buffer with small parts, well under IOV_MAX.
  static constexpr std::size_t MaxGather = 64;

  void Push(SharedBytes bytes);
  // The waiting bytes from the front, as at most MaxGather buffers.
  const std::vector<asio::const_buffer>& Gather();
  // Drops the first count bytes, which the socket has taken.
  void Consume(std::size_t count);
  void Clear();

  bool Empty() const { return Parts.empty(); }
  std::size_t WaitingBytes() const { return Waiting; }

 private:
  std::deque<SharedBytes> Parts;
  std::size_t FrontOffset = 0;
  std::size_t Waiting = 0;
  std::vector<asio::const_buffer> Buffers;
};
