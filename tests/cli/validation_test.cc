#include "cli/validation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

namespace halvane {
namespace {

TEST(ParseHexBytes, ResultCodes) {
  struct Case {
    const char* text;
    std::int32_t want;
  };
  const Case cases[] = {
      {"00:11:22:33:44:55:66:77", kHexOk},
      {"0:1:2:3:4:5:6:7", kHexOk},
      {"00-11-22-33-44-55-66-77", kHexOk},
      {"aa bb cc dd ee ff 00 11", kHexOk},
      {"aa:bb-cc dd:ee-ff 00:11", kHexOk},
      {" \t0:1:2:3:4:5:6:7", kHexOk},
      {"0:1:2:3:4:5:6:7xyz", kHexOk},          // nothing after the eighth byte is examined
      {"00FF:1:2:3:4:5:6:7", kHexOk},          // leading zeros do not count
      {"0011223344556677", kHexByteTooLarge},  // one run of digits
      {"100:1:2:3:4:5:6:7", kHexByteTooLarge},
      {"00:11:22:33:44:55:66", kHexBadSeparator},
      {"00.11.22.33.44.55.66.77", kHexBadSeparator},
      {"00:11:22:33:44:55:66:", kHexNoByte},
      {"00::11:22:33:44:55:66", kHexNoByte},
      {"", kHexNoByte},
      {"   ", kHexNoByte},
      {"g0:1:2:3:4:5:6:7", kHexNoByte},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseHexBytes(c.text, -1, 8, nullptr), c.want) << '"' << c.text << '"';
  }
}

TEST(ParseHexBytes, RequestLimitsAndOutput) {
  EXPECT_EQ(ParseHexBytes(nullptr, -1, 8, nullptr), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", -1, 0, nullptr), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", -1, 32, nullptr), kHexBadRequest);
  EXPECT_EQ(ParseHexBytes("01", 0, 1, nullptr), kHexNoByte);
  // The length bounds what is read, even inside a longer text.
  EXPECT_EQ(ParseHexBytes("01:02", 2, 2, nullptr), kHexBadSeparator);

  std::array<std::uint8_t, 8> out{};
  ASSERT_EQ(ParseHexBytes("0a:1B:2:33:4-5 6:7:FF", -1, 8, out.data()), kHexOk);
  EXPECT_EQ(out, (std::array<std::uint8_t, 8>{0x0A, 0x1B, 0x02, 0x33, 0x04, 0x05, 0x06, 0x07}));

  // A failing parse leaves the output untouched.
  std::array<std::uint8_t, 8> untouched{9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(ParseHexBytes("01:02:03:04:05:06:07:100", -1, 8, untouched.data()), kHexByteTooLarge);
  EXPECT_EQ(untouched, (std::array<std::uint8_t, 8>{9, 9, 9, 9, 9, 9, 9, 9}));

  std::array<std::uint8_t, 31> longest{};
  std::string text;
  for (int i = 0; i < 31; ++i) text += (i ? ":" : "") + std::to_string(i % 10);
  EXPECT_EQ(ParseHexBytes(text.c_str(), -1, 31, longest.data()), kHexOk);
  EXPECT_EQ(longest[30], 0);
}

TEST(IsValidWWNText, LengthWindowThenParse) {
  struct Case {
    const char* text;
    bool want;
  };
  const Case cases[] = {
      {"00:11:22:33:44:55:66:77", true},  {"0:1:2:3:4:5:6:7", true},
      {"00-11-22-33-44-55-66-77", true},  {"aa:bb:cc:dd:ee:ff:00:11", true},
      {"00 11 22 33 44 55 66 77", true},  {"00:11-22 33:44:55:66:77", true},
      {"0:1:2:3:4:5:6:7:", true},         {"0:1:2:3:4:5:6:7xyz", true},
      {" 0:1:2:3:4:5:6:7", true},         {"00FF:1:2:3:4:5:6:7", true},
      {"0:1:2:3:4:5:6", false},           {"00:11:22:33:44:55:66:77:88", false},
      {"0011223344556677", false},        {"00:11:22:33:44:55:66", false},
      {"00:11:22:33:44:55:66:", false},   {"00::11:22:33:44:55:66", false},
      {"00.11.22.33.44.55.66.77", false}, {"100:1:2:3:4:5:6:7", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidWWNText(c.text), c.want) << '"' << c.text << '"';
}

// The table is re-derived here from the 8b/10b code: a data character D.x.y has neutral
// disparity when its 5b/6b and 3b/4b sub-blocks are both balanced or both unbalanced.
TEST(AlpaAcceptTable, IsTheNeutralDisparityFamilyWithoutZero) {
  const std::set<int> balanced5 = {3,  5,  6,  7,  9,  10, 11, 12, 13, 14,
                                   17, 18, 19, 20, 21, 22, 25, 26, 28};
  const std::set<int> balanced3 = {1, 2, 3, 5, 6};
  const char* listed =
      "01 02 04 08 0F 10 17 18 1B 1D 1E 1F 23 25 26 27 29 2A 2B 2C 2D 2E 31 32 33 34 35 36 39 3A "
      "3C "
      "43 45 46 47 49 4A 4B 4C 4D 4E 51 52 53 54 55 56 59 5A 5C 63 65 66 67 69 6A 6B 6C 6D 6E 71 "
      "72 "
      "73 74 75 76 79 7A 7C 80 81 82 84 88 8F 90 97 98 9B 9D 9E 9F A3 A5 A6 A7 A9 AA AB AC AD AE "
      "B1 "
      "B2 B3 B4 B5 B6 B9 BA BC C3 C5 C6 C7 C9 CA CB CC CD CE D1 D2 D3 D4 D5 D6 D9 DA DC E0 E1 E2 "
      "E4 "
      "E8 EF F0 F7 F8 FB FD FE FF";
  std::set<int> listed_values;
  for (const char* p = listed; *p; p += (p[2] ? 3 : 2))
    listed_values.insert(std::stoi(std::string(p, 2), nullptr, 16));
  ASSERT_EQ(listed_values.size(), 133u);

  int neutral = 0;
  for (int b = 0; b < 256; ++b) {
    const bool is_neutral = balanced5.count(b & 0x1F) == balanced3.count(b >> 5);
    neutral += is_neutral;
    const bool accepted = is_neutral && b != 0;
    EXPECT_EQ(IsAcceptedALPA(static_cast<std::uint8_t>(b)) != 0, accepted) << "byte " << b;
    EXPECT_EQ(listed_values.count(b) == 1, accepted) << "byte " << b;
  }
  EXPECT_EQ(neutral, 134);
}

TEST(ParseAlpaArgument, ConversionRangeAndTable) {
  struct Case {
    const char* text;
    int want;  // -1: refused
  };
  const Case cases[] = {
      {"1e", 30},
      {"1E", 30},
      {"0x1E", 30},
      {"0X1e", 30},
      {"1EZZ", 30},
      {" 1E", 30},
      {"+1E", 30},
      {"FF", 255},
      {"01", 1},
      {"EF", 239},
      {"F0", 240},
      {"0", -1},
      {"100", -1},
      {"-1", -1},
      {"zz", -1},
      {"", -1},
      {"03", -1},
      {"F1", -1},
      {"-FF", -1},
      // Values that only a narrowing would bring into range are refused.
      {"10000001E", -1},
      {"FFFFFFFF0000001E", -1},
      {"1000000000000000001E", -1},
  };
  for (const Case& c : cases) {
    const auto got = ParseAlpaArgument(c.text);
    EXPECT_EQ(got.value_or(-1), c.want) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace halvane
