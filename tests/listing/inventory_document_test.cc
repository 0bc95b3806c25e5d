#include "listing/inventory_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>
#include <vector>

#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "registry/memory_registry.h"
#include "support/run_binary.h"
#include "support/values.h"
#include "sysfs/fake_sysfs.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

const std::string kGolden = testing::SourceDir() + "/tests/golden/";

// Both forms of the listing, of the bundled example and of a live host, against their golden files
// (HALVANE_UPDATE_GOLDEN=1 rewrites them after an intended change).
TEST(InventoryDocument, GoldenAsTheListingShowsAndTheSameFromACapture) {
  testing::TempDir dir;
  testing::BuildTree("inventory", dir.path() + "/sys");
  testing::BuildTree("fleet", dir.path() + "/fleet");
  // The NVMe host: its port's controllers in every state and layout, and controllers that are no
  // port's (a local drive, other transports, another port's, an address the kernel would refuse).
  testing::BuildTree("nvme", dir.path() + "/nvme");
  testing::BuildTree("nvme-layouts", dir.path() + "/nvme");
  // What Linux 6.1 published with one of two paths down (tests/kernel/run took it): FCoE ports,
  // a blocked remote port, transport-offline LUNs in both ALUA states, multipath maps.
  testing::BuildTree("kernel-fcoe", dir.path() + "/kernel");
  // An NVMe namespace on two ports with native NVMe multipath off, joined by multipathd's map,
  // one of its controllers connecting.
  for (const char* tree : {"check-ports", "check-nvme-dm", "check-nvme-dm-map", "check-connecting"})
    testing::BuildTree(tree, dir.path() + "/nvme-dm");
  const RunOptions example = testing::WithRegistry(testing::SourceDir() + "/examples/san.json");
  RunOptions live, fleet, nvme, kernel, nvme_dm;
  live.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/sys";
  fleet.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/fleet";
  nvme.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/nvme";
  kernel.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/kernel";
  nvme_dm.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/nvme-dm";
  const std::tuple<std::string, std::string, RunOptions> sources[] = {
      {"san-inventory.json", "san-listing.txt", example},
      {"sysfs-inventory.json", "sysfs-inventory-listing.txt", live},
      {"fleet-inventory.json", "fleet-listing.txt", fleet},
      {"nvme-inventory.json", "nvme-listing.txt", nvme},
      {"kernel-fcoe-inventory.json", "kernel-fcoe-listing.txt", kernel},
      {"nvme-dm-inventory.json", "nvme-dm-listing.txt", nvme_dm}};
  for (const auto& [golden, listing, options] : sources) {
    SCOPED_TRACE(golden);
    const auto json = RunHalvane({"--json", "-l"}, options);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.err, "");
    if (std::getenv("HALVANE_UPDATE_GOLDEN")) std::ofstream(kGolden + golden) << json.out;
    EXPECT_EQ(json.out, testing::ReadFile(kGolden + golden));
    const auto text = RunHalvane({"-l"}, options);
    if (std::getenv("HALVANE_UPDATE_GOLDEN")) std::ofstream(kGolden + listing) << text.out;
    EXPECT_EQ(text.out, testing::ReadFile(kGolden + listing));

    const auto capture = RunHalvane({"--snapshot"}, options);
    EXPECT_EQ(capture.status, 0);
    const RunOptions replay = testing::WithRegistry(dir.Write(golden + ".snapshot", capture.out));
    EXPECT_EQ(RunHalvane({"-l"}, replay).out, text.out);
    EXPECT_EQ(RunHalvane({"-l", "--json"}, replay).out, json.out);
  }
}

// One port's document is that port's member of the whole one (tests/cli/runs/ shows that --json
// changes nothing else).
TEST(InventoryDocument, OnePortsDocumentIsItsPartOfTheWhole) {
  const RunOptions options = testing::WithRegistry(testing::SourceDir() + "/examples/san.json");
  const std::string port = "21:00:00:24:ff:3d:12:35";
  const auto whole = nlohmann::json::parse(RunHalvane({"--json", "-l"}, options).out);
  const auto first = RunHalvane({"--json", "-c", port}, options);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(nlohmann::json::parse(first.out)["controllers"],
            nlohmann::json::array({whole["controllers"][3]}));
  EXPECT_EQ(RunHalvane({"-c", port, "--json"}, options).out, first.out);
}

// Driver texts are bytes: the document stays UTF-8 and valid JSON whatever they hold, and shows a
// text up to its first zero character, as the text report does; speeds in any order are listed
// rising, each once.
TEST(InventoryDocument, TextsAreEscapedAndMadeUtf8) {
  MemoryRegistry registry;
  registry.DeclareClass(kUserControllerClass, kScsiControllerClass);
  MemoryRegistry::Node* root = registry.SetRoot("Root");
  registry.AddChild(
      root, kUserControllerClass,
      {{"Controller Characteristics",
        testing::Dict(
            {{"Port Topology", testing::Str(std::string("a\"b\\c\x01\xff\xc3\xa9\0x", 11))},
             {"Port Speed", testing::Num(8)},
             {"Supported Speeds", testing::Str("16 Gbit, 4 Gbit, 16 Gbit")},
             {"Port Number", PropertyValue::OfNumber(Number::FromDouble(1))}})}});
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
