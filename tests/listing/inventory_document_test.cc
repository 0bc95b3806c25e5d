#include "listing/inventory_document.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "support/fake_sysfs.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

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

// Driver texts are bytes: the document stays UTF-8 and valid JSON whatever they hold, and shows a
// text up to its first zero character, as the text report does; speeds in any order are listed
// rising, each once.
TEST(InventoryDocument, TextsAreEscapedAndMadeUtf8) {
  TwinRegistry registry(testing::HostText(
      testing::PortEntry("{}"),
      R"({"KestritUserSCSIParallelInterfaceController": "KestritSCSIParallelInterfaceController"})"));
  // A text that is not UTF-8, which no snapshot holds.
  registry.values.emplace(
      kControllerCharacteristicsKey,
      testing::Dict({{"Port Topology", testing::Str(std::string("a\"b\\c\x01\xff\xc3\xa9\0x", 11))},
                     {"Port Speed", testing::Num(8)},
                     {"Supported Speeds", testing::Str("16 Gbit, 4 Gbit, 16 Gbit")},
                     {"Port Number", PropertyValue::OfNumber(Number::FromDouble(1))}}));
  std::ostringstream out;
  PrintInventoryDocument(registry, out);
  EXPECT_EQ(out.str(),
            "{\n  \"schema\": \"halvane-inventory/2\",\n  \"controllers\": [\n    {\n"
            "      \"port_name\": \"invalid\",\n"
            "      \"topology\": \"a\\\"b\\\\c\\u0001\xef\xbf\xbd\xc3\xa9\",\n"
            "      \"supported_speeds_gbit\": [\n        4,\n        16\n      ]\n    }\n  ],\n"
            "  \"multipath\": []\n}\n");
}

}  // namespace
}  // namespace halvane
