#include "cli/validation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "support/run_binary.h"

namespace halvane {
namespace {

// The rows of tests/cli/validation.txt.
TEST(Validation, TextsOfTheTable) {
  const std::map<std::string, StatusCode> codes = {{"ok", 0},
                                                   {"too-large", kHexByteTooLarge},
                                                   {"separator", kHexBadSeparator},
                                                   {"no-byte", kHexNoByte}};
  for (const auto& row : testing::Rows("cli/validation.txt")) {
    const std::string& text = row.at(1);
    if (row[0] == "wwn") {
      EXPECT_EQ(ParseHexBytes(text.c_str(), -1, 8, nullptr).code(), codes.at(row.at(2)))
          << '"' << text;
      EXPECT_EQ(IsValidWWNText(text.c_str()), row.at(3) == "yes") << '"' << text;
    } else {
      EXPECT_EQ(ParseAlpaArgument(text.c_str()).value_or(-1), std::stoi(row.at(2))) << '"' << text;
    }
  }
}

TEST(ParseHexBytes, RequestLimitsAndOutput) {
  EXPECT_EQ(ParseHexBytes(nullptr, -1, 8, nullptr).code(), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", -1, 0, nullptr).code(), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", -1, 32, nullptr).code(), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", 0, 1, nullptr).code(), kHexNoByte);
  // The length bounds what is read, even inside a longer text.
  EXPECT_EQ(ParseHexBytes("01:02", 2, 2, nullptr).code(), kHexBadSeparator);

  std::array<std::uint8_t, 8> out{};
  ASSERT_TRUE(ParseHexBytes("0a:1B:2:33:4-5 6:7:FF", -1, 8, out.data()).ok());
  EXPECT_EQ(out, (std::array<std::uint8_t, 8>{0x0A, 0x1B, 0x02, 0x33, 0x04, 0x05, 0x06, 0x07}));

  // A failing parse leaves the output untouched.
  std::array<std::uint8_t, 8> untouched{9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(ParseHexBytes("01:02:03:04:05:06:07:100", -1, 8, untouched.data()).code(),
            kHexByteTooLarge);
  EXPECT_EQ(untouched, (std::array<std::uint8_t, 8>{9, 9, 9, 9, 9, 9, 9, 9}));

  std::array<std::uint8_t, 31> longest{};
  std::string text;
  for (int i = 0; i < 31; ++i) {
    if (i > 0) text += ':';
    text += static_cast<char>('0' + i % 10);
  }
  EXPECT_TRUE(ParseHexBytes(text.c_str(), -1, 31, longest.data()).ok());
  EXPECT_EQ(longest[30], 0);
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
    EXPECT_EQ(IsAcceptedALPA(static_cast<std::uint8_t>(b)) != 0, accepted) << "byte " << b;
  }
  EXPECT_EQ(neutral, 134);
}

}  // namespace
}  // namespace halvane
