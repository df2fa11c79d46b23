// Text of containers: separators, the bool words, map order and empty inputs.
#include "larkspur_perception_libs/to_string.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

TEST(ToStringTest, EmptyContainersGiveEmptyTextAndTheMapANewline) {
  EXPECT_EQ(std::to_string(std::vector<bool>{}), "");
  EXPECT_EQ(std::to_string(std::vector<std::string>{}), "");
  EXPECT_EQ(std::to_string(std::vector<float>{}), "");
  EXPECT_EQ(std::to_string(std::vector<int>{}), "");
  EXPECT_EQ(std::to_string(std::vector<double>{}), "");
  EXPECT_EQ(std::to_string(std::map<std::string, int>{}), "\n");
  EXPECT_EQ(std::to_string(std::string()), "");
}

TEST(ToStringTest, IntsAreFollowedByCommaSpaceLastOneIncluded) {
  EXPECT_EQ(std::to_string(std::vector<int>{1, -2}), "1, -2, ");
  EXPECT_EQ(std::to_string(std::vector<int>{-2147483647 - 1}), "-2147483648, ");
}

TEST(ToStringTest, FloatsAndDoublesUseSixDecimals) {
  EXPECT_EQ(std::to_string(std::vector<float>{0.5f}), "0.500000, ");
  EXPECT_EQ(std::to_string(std::vector<float>{-1.25f, 3.0f}), "-1.250000, 3.000000, ");
  // 0.1f is 0.100000001490116..., still 0.100000 at six decimals.
  EXPECT_EQ(std::to_string(std::vector<float>{0.1f}), "0.100000, ");
  EXPECT_EQ(std::to_string(std::vector<double>{1234.5678901, -0.0000004}),
            "1234.567890, -0.000000, ");
  EXPECT_EQ(std::to_string(std::vector<double>{1e6}), "1000000.000000, ");
}

TEST(ToStringTest, BoolWordsHaveNoSeparatorAndTrueCarriesTwoSpaces) {
  EXPECT_EQ(std::to_string(std::vector<bool>{true, false}), "True  False");
  EXPECT_EQ(std::to_string(std::vector<bool>{false, true}), "FalseTrue  ");
  EXPECT_EQ(std::to_string(std::vector<bool>{false, false}), "FalseFalse");
}

TEST(ToStringTest, StringsAreCopiedAndListedAsTheyAre) {
  EXPECT_EQ(std::to_string(std::string("a, b")), "a, b");
  EXPECT_EQ(std::to_string(std::vector<std::string>{"x", "", "y z"}), "x, , y z, ");
}

TEST(ToStringTest, MapListsEntriesInAscendingKeyOrder) {
  std::map<std::string, int> values;
  values["b"] = 2;
  values["a"] = 1;
  EXPECT_EQ(std::to_string(values), "\na = 1\nb = 2\n");
  EXPECT_EQ(std::to_string(std::map<std::string, int>{{"Z", -3}, {"a", 0}, {"B", 7}}),
            "\nB = 7\nZ = -3\na = 0\n");
}

}  // namespace
