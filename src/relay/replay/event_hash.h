#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

// The hash behind event ids and the journal's checks. Ids made with it are compared across
// relays and across versions, so it never changes.
inline std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
  hash = (hash ^ value) * 0x9E3779B97F4A7C15u;
  return hash ^ (hash >> 29);
}

// Eight bytes at a time.
inline std::uint64_t MixBytes(std::uint64_t hash, std::string_view bytes) {
  hash = Mix(hash, bytes.size());
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    hash = Mix(hash, word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
  return Mix(hash, tail);
}
