#include "cli/validation.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/run_binary.h"

namespace halvane {
namespace {

// The rows of tests/cli/validation.txt.
TEST(Validation, TextsOfTheTable) {
  for (const auto& row : testing::Rows("cli/validation.txt")) {
    const std::string& text = row.at(1);
    if (row[0] == "wwn") {
      EXPECT_EQ(IsValidWwnText(text), row.at(2) == "yes") << '"' << text;
    } else {
      EXPECT_EQ(ParseAlpaArgument(text.c_str()).value_or(-1), std::stoi(row.at(2))) << '"' << text;
    }
  }
}

// The table is re-derived here from the 8b/10b code: a data character D.x.y has neutral
// disparity when its 5b/6b and 3b/4b sub-blocks are both balanced or both unbalanced.
TEST(AlpaAcceptTable, IsTheNeutralDisparityFamilyWithoutZero) {
  const std::set<int> balanced5 = {3,  5,  6,  7,  9,  10, 11, 12, 13, 14,
                                   17, 18, 19, 20, 21, 22, 25, 26, 28};
  const std::set<int> balanced3 = {1, 2, 3, 5, 6};
  int neutral = 0;
  for (int b = 0; b < 256; ++b) {
    const bool is_neutral = balanced5.count(b & 0x1F) == balanced3.count(b >> 5);
    neutral += is_neutral;
    const bool accepted = is_neutral && b != 0;
    EXPECT_EQ(IsAcceptedALPA(static_cast<std::uint8_t>(b)), accepted) << "byte " << b;
  }
  EXPECT_EQ(neutral, 134);
}

}  // namespace
}  // namespace halvane
