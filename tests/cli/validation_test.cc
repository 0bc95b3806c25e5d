#include "cli/validation.h"

#include <gtest/gtest.h>

TEST(Placeholder, Builds) { EXPECT_EQ(halvane::IsAcceptedALPA(0), 0); }
