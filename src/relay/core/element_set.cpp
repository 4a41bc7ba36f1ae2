#include "relay/core/element_set.h"

#include <bit>

namespace {

// The bits of word at and above position bit.
std::uint64_t FromBit(std::uint64_t word, int bit) {
  return bit >= 64 ? 0 : word & (~std::uint64_t{0} << bit);
}

}  // namespace

void ElementSet::Insert(ElementIndex index) {
  Bits[index / 64] |= std::uint64_t{1} << (index % 64);
  NonEmpty[index / 4096] |= std::uint64_t{1} << (index / 64 % 64);
}

void ElementSet::Erase(ElementIndex index) {
  std::uint64_t& word = Bits[index / 64];
  word &= ~(std::uint64_t{1} << (index % 64));
  if (word == 0) NonEmpty[index / 4096] &= ~(std::uint64_t{1} << (index / 64 % 64));
}

ElementIndex ElementSet::Next(ElementIndex after) const {
  const int from = after + 1;
  if (from > MaxElementIndex) return 0;
  const int word = from / 64;
  if (const std::uint64_t bits = FromBit(Bits[word], from % 64)) {
    return static_cast<ElementIndex>(word * 64 + std::countr_zero(bits));
  }
  // The next non-empty word, found through the summary.
  for (int group = (word + 1) / 64, bit = (word + 1) % 64; group < Words / 64; ++group, bit = 0) {
    if (const std::uint64_t words = FromBit(NonEmpty[group], bit)) {
      const int next = group * 64 + std::countr_zero(words);
      return static_cast<ElementIndex>(next * 64 + std::countr_zero(Bits[next]));
    }
  }
  return 0;
}
