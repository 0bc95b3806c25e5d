#include "registry/property_value.h"

#include <gtest/gtest.h>

#include <limits>

namespace halvane {
namespace {

TEST(Number, ReadsOnlyExactIntegersOfTheAskedWidth) {
  struct Case {
    Number n;
    bool fits32;
    bool fits64;
  };
  const Case cases[] = {
      {Number::FromInt64(0), true, true},
      {Number::FromInt64(-2147483648LL), true, true},
      {Number::FromInt64(2147483648LL), false, true},
      {Number::FromInt64(std::numeric_limits<std::int64_t>::min()), false, true},
      {Number::FromUInt64(9223372036854775807ULL), false, true},
      {Number::FromUInt64(9223372036854775808ULL), false, false},
      {Number::FromDouble(1.0), false, false},
      {Number::FromDouble(2.5), false, false},
  };
  for (const Case& c : cases) {
    std::int32_t v32 = 0;
    std::int64_t v64 = 0;
    EXPECT_EQ(c.n.ToInt32(&v32), c.fits32);
    EXPECT_EQ(c.n.ToInt64(&v64), c.fits64);
  }
}

TEST(Utf8, ValidityAndLineText) {
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xF0\x9F\x92\xBE \xF4\x8F\xBF\xBF"));  // to U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // cut short
  EXPECT_FALSE(IsValidUtf8("a\x80"));             // a continuation byte with nothing before it

  // A text fits an area only with room for its terminator, and shows up to its first zero.
  EXPECT_EQ(TextForLine(PropertyValue::String(std::string(255, 'a')), 256)->size(), 255u);
  EXPECT_FALSE(TextForLine(PropertyValue::String(std::string(256, 'a')), 256));
  EXPECT_EQ(*TextForLine(PropertyValue::String(std::string("ab\0cd", 5)), 256), "ab");
  EXPECT_FALSE(TextForLine(PropertyValue::String("\xFF"), 256));
  EXPECT_FALSE(TextForLine(PropertyValue::Int32(3), 256));
}

}  // namespace
}  // namespace halvane
