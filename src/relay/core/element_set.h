#pragma once

#include <array>
#include <cstdint>

#include "relay/core/socket_control.h"

// A set of element indices (1 to MaxElementIndex) kept as a bitmap with a summary of its
// non-empty words, so that the next member is found in a few word operations, whatever the
// size of the element array and however many elements it has had.
class ElementSet {
 public:
  void Insert(ElementIndex index);
  void Erase(ElementIndex index);
  // The lowest member above after, or 0 when there is none.
  ElementIndex Next(ElementIndex after) const;

 private:
  static constexpr int Words = (MaxElementIndex + 1) / 64;
  std::array<std::uint64_t, Words> Bits{};
  std::array<std::uint64_t, Words / 64> NonEmpty{};
};
