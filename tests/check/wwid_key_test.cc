#include "check/judge.h"

#include <gtest/gtest.h>

#include "support/run_binary.h"

namespace halvane {
namespace {

// The rows of tests/check/wwid_keys.txt.
TEST(WwidKey, EveryFormOfOneWwidIsOneKey) {
  for (const auto& row : testing::Rows("check/wwid_keys.txt"))
    EXPECT_EQ(WwidKey(row.at(0)).value_or("refused"), row.at(1)) << '"' << row[0];
}

}  // namespace
}  // namespace halvane
