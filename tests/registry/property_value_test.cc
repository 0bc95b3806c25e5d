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
    EXPECT_EQ(c.n.AsInt32().has_value(), c.fits32);
    EXPECT_EQ(c.n.AsInt64().has_value(), c.fits64);
  }
}

// A text fits an area only with room for its terminator, and shows up to its first zero.
TEST(TextForLine, FitsTheAreaAndEndsAtAZero) {
  EXPECT_EQ(TextForLine(PropertyValue::String(std::string(255, 'a')), 256)->size(), 255u);
  EXPECT_FALSE(TextForLine(PropertyValue::String(std::string(256, 'a')), 256));
  EXPECT_EQ(*TextForLine(PropertyValue::String(std::string("ab\0cd", 5)), 256), "ab");
  EXPECT_FALSE(TextForLine(PropertyValue::String("\xFF"), 256));
  EXPECT_FALSE(TextForLine(PropertyValue::Int64(3), 256));
}

}  // namespace
}  // namespace halvane
