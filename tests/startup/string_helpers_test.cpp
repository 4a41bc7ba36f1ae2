#include "common/string_helpers.h"

#include <gtest/gtest.h>

using Pieces = std::vector<std::string>;

TEST(SplitString, KeepsEmptyElementZeroAndInnerEmptyPieces) {
  EXPECT_EQ(SplitString("", "-"), Pieces({""}));
  EXPECT_EQ(SplitString("a", "-"), Pieces({"", "a"}));
  EXPECT_EQ(SplitString("-s -p 4000", "-"), Pieces({"", "", "s ", "p 4000"}));
  EXPECT_EQ(SplitString("a--b-", "-"), Pieces({"", "a", "", "b"}));
  EXPECT_EQ(SplitString("-", "-"), Pieces({"", ""}));
  EXPECT_EQ(SplitString("a&&b", "&"), Pieces({"", "a", "", "b"}));
}

TEST(NumberInRange, AcceptsOnlyNumbersWithinInclusiveBounds) {
  EXPECT_EQ(NumberInRange("", 1, 10, 5), 5);
  EXPECT_EQ(NumberInRange("10", 1, 10, 5), 10);
  EXPECT_EQ(NumberInRange("1", 1, 10, 5), 1);
  EXPECT_EQ(NumberInRange("11", 1, 10, 5), 5);
  EXPECT_EQ(NumberInRange("0", 1, 10, 5), 5);
  EXPECT_EQ(NumberInRange("  7  ", 1, 10, 5), 7);
  EXPECT_EQ(NumberInRange("+7", 1, 10, 5), 7);
  EXPECT_EQ(NumberInRange("-3", -5, 10, 5), -3);
}

TEST(NumberInRange, RoundsHalfToEvenAndReadsExponents) {
  EXPECT_EQ(NumberInRange("2.5", 0, 10, 7), 2);
  EXPECT_EQ(NumberInRange("3.5", 0, 10, 7), 4);
  EXPECT_EQ(NumberInRange("3677.5", 1, 65535, 1), 3678);
  EXPECT_EQ(NumberInRange("4000.5", 1, 65535, 1), 4000);
  EXPECT_EQ(NumberInRange("4000.51", 1, 65535, 1), 4001);
  EXPECT_EQ(NumberInRange("1e3", 1, 65535, 9), 1000);
  EXPECT_EQ(NumberInRange("2.5E+1", 1, 65535, 9), 25);
  EXPECT_EQ(NumberInRange(".5", -10, 10, 9), 0);
}

TEST(NumberInRange, RejectsTextAndValuesBeyondThirtyTwoBits) {
  for (const char* text :
       {"x", "ort 4000", "4000x", "1e", "e3", "-", ".", "1.2.3", "0x10", "1 000"}) {
    EXPECT_EQ(NumberInRange(text, -100000, 100000, 42), 42) << text;
  }
  EXPECT_EQ(NumberInRange("2147483647", INT32_MIN, INT32_MAX, 3), INT32_MAX);
  EXPECT_EQ(NumberInRange("2147483648", INT32_MIN, INT32_MAX, 3), 3);
  EXPECT_EQ(NumberInRange("-2147483649", INT32_MIN, INT32_MAX, 3), 3);
  EXPECT_EQ(NumberInRange("1e400", INT32_MIN, INT32_MAX, 3), 3);
}

TEST(TextHelpers, LowerCaseTouchesOnlyAsciiLettersAndTrimRemovesOuterBlanks) {
  EXPECT_EQ(LowerCase("-S -P 4000 \xC4"), "-s -p 4000 \xC4");
  EXPECT_EQ(TrimBlanks(" \t a b \t"), "a b");
  EXPECT_EQ(TrimBlanks("   "), "");
}
