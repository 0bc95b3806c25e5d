#include "listing/inventory_document.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

// Each host of tests/listing/goldens.txt in each form against its golden files
// (HALVANE_UPDATE_GOLDEN=1 rewrites them after an intended change), and the same again from a
// capture of the host.
TEST(InventoryDocument, GoldensOfEachFormAndTheSameFromACapture) {
  testing::TempDir dir;
  const std::vector<std::string> forms[] = {{"--json", "-l"}, {"-l"}, {"--metrics", "-l"}};
  int n = 0;
  for (const auto& row : testing::Rows("listing/goldens.txt")) {
    SCOPED_TRACE(row.at(0));
    const RunOptions options = testing::OnHost(row[0], dir.path() + "/host" + std::to_string(++n));
    const RunOptions replay = testing::WithRegistry(
        testing::Capture(options, dir.path() + "/" + std::to_string(n) + ".snapshot"));
    for (std::size_t form = 0; form < 3; ++form) {
      if (row.at(form + 1) == "-") continue;
      const auto run = RunHalvane(forms[form], options);
      EXPECT_EQ(run.status, 0) << row[form + 1];
      EXPECT_EQ(run.err, "") << row[form + 1];
      testing::ExpectGolden(row[form + 1], run.out);
      EXPECT_EQ(RunHalvane(forms[form], replay).out, run.out) << row[form + 1];
    }
  }
}

}  // namespace
}  // namespace halvane
