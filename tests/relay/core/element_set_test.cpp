#include "relay/core/element_set.h"

#include <gtest/gtest.h>

// Members on both sides of the bitmap's 64-bit words and of its summary's words (4,096 elements
// each), and the last index; each round erases one and walks the rest from 0.
TEST(ElementSet, NextFindsTheNextMemberAcrossWordsAndSummaryWords) {
  const std::vector<ElementIndex> members = {1, 63, 64, 4095, 4096, 8191, 12288, 32767};
  for (std::size_t erased = 0; erased < members.size(); ++erased) {
    ElementSet set;
    for (ElementIndex member : members) set.Insert(member);
    set.Erase(members[erased]);
    std::vector<ElementIndex> walked, expected = members;
    expected.erase(expected.begin() + static_cast<long>(erased));
    for (ElementIndex i = set.Next(0); i != 0 && walked.size() < members.size(); i = set.Next(i))
      walked.push_back(i);
    EXPECT_EQ(walked, expected) << "without " << members[erased];
  }
}
