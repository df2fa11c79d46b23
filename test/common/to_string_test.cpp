// Text of containers: separators, the bool words, map order and empty inputs.
#include "larkspur_perception_libs/to_string.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(ToStringTest, SeparatorsBoolWordsMapOrderAndEmptyInputs) {
  const std::pair<std::string, std::string> cases[] = {
      {std::to_string(std::vector<int>{1, -2147483647 - 1}), "1, -2147483648, "},
      // 0.1f is 0.100000001490116..., still 0.100000 at six decimals.
      {std::to_string(std::vector<float>{-1.25f, 0.1f}), "-1.250000, 0.100000, "},
      {std::to_string(std::vector<double>{1234.5678901, -0.0000004}), "1234.567890, -0.000000, "},
      {std::to_string(std::vector<bool>{true, false}), "True  False"},
      {std::to_string(std::vector<bool>{false, true}), "FalseTrue  "},
      {std::to_string(std::vector<std::string>{"x", "", "y z"}), "x, , y z, "},
      {std::to_string(std::string("a, b")), "a, b"},
      {std::to_string(std::map<std::string, int>{{"b", 2}, {"a", 1}, {"B", -3}}),
       "\nB = -3\na = 1\nb = 2\n"},
      {std::to_string(std::vector<int>{}), ""},
      {std::to_string(std::vector<bool>{}), ""},
      {std::to_string(std::vector<std::string>{}), ""},
      {std::to_string(std::map<std::string, int>{}), "\n"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
}

}  // namespace
