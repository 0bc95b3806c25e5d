// The live registry reads only what a run asks for: the runs that need only the ports read the
// same files however many logical units the host has, and an entry that goes away between the
// listing and the reading reads as one whose attributes are missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "cli/front_end.h"
#include "listing/full_report.h"
#include "listing/inventory_document.h"
#include "registry/vocabulary.h"
#include "support/fake_sysfs.h"
#include "support/twins.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

// The host tree, whose lpfc host 3 gets `extra` more logical units on its target 3:0:1, each a
// copy of unit 3:0:1:1.
void BuildHost(const std::string& root, int extra) {
  testing::BuildTree("host", root);
  const fs::path target =
      root + "/devices/pci0000:00/0000:00:03.0/0000:05:00.0/host3/rport-3:0-0/target3:0:1";
  for (int lun = 100; lun < 100 + extra; ++lun) {
    fs::copy(target / "3:0:1:1", target / ("3:0:1:" + std::to_string(lun)),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
}

// A run that needs one port only reads the same however many logical units the host has, and
// looks at no target; the text listings read of each unit and port only what they print (never
// a unit's state or its sg device, nor a port's counters), at most four reads a unit: its vendor,
// product and revision come with its INQUIRY response.
TEST(LazySysfsReads, PortRunsReadNoUnitAndTheListingOnlyWhatItPrints) {
  const std::vector<std::vector<std::string>> runs = {
      {"-c", "10:00:00:90:fa:1b:2c:3d"},
      {"-c", "10:00:00:90:fa:1b:2c:3d", "-s", "2gigabit", "-t", "nport"},
      {"-l"},
  };
  std::map<std::size_t, std::vector<std::size_t>> counts;  // by run
  for (int luns : {3, 53}) {
    testing::TempDir dir;
    BuildHost(dir.path(), luns);
    for (std::size_t run = 0; run < runs.size(); ++run) {
      WatchingReader reader(fs::canonical(dir.path()));
      RecordingAttributeWriter writer;
      const auto built = BuildSysfsRegistry(dir.path(), &reader, &writer);
      ASSERT_TRUE(built.ok()) << built.status().message();
      InProcessRun in_process(**built);
      EXPECT_EQ(in_process.Run(runs[run]).ProcessExitStatus(), kExitSuccess)
          << in_process.out.str();
      // The port was found: its block printed, or its settings written.
      EXPECT_TRUE(!in_process.out.str().empty() || writer.writes.size() == 2) << run;
      EXPECT_EQ(reader.Looked("/target"), run == 2) << run;
      EXPECT_FALSE(reader.Looked("/state") || reader.Looked("/scsi_generic")) << run;
      // A text listing shows no counters, so it reads none (the settings run's record has them).
      EXPECT_EQ(reader.Looked("/statistics"), run == 1) << run;
      counts[run].push_back(reader.paths.size());
    }
  }
  EXPECT_EQ(counts[0][0], counts[0][1]);
  EXPECT_EQ(counts[1][0], counts[1][1]);
  EXPECT_LE(counts[2][1] - counts[2][0], 4u * 50);
}

// One more NVMe controller costs the document as many reads at 30 controllers as at 10: the
// host's remote ports are read once, not once a controller (bench/make-registry's host).
TEST(LazySysfsReads, EachNvmeControllerCostsTheSameHoweverManyThePortHas) {
  std::vector<std::size_t> reads;
  for (int controllers : {10, 20, 30}) {
    testing::TempDir dir;
    const std::string root = dir.path() + "/sys";
    ASSERT_EQ(testing::RunCommand("python3 " + testing::SourceDir() +
                                  "/bench/make-registry --ports 1 --targets 0 --nvme " +
                                  std::to_string(controllers) + " --sysfs " + root)
                  .status,
              0);
    WatchingReader reader(fs::canonical(root));
    std::ostringstream document;
    const auto registry = BuildSysfsRegistry(root, &reader);
    ASSERT_TRUE(registry.ok());
    PrintInventoryDocument(**registry, document);
    EXPECT_NE(document.str().find("nvme" + std::to_string(controllers - 1)), std::string::npos);
    reads.push_back(reader.paths.size());
  }
  EXPECT_EQ(reads[2] - reads[1], reads[1] - reads[0]);
}

// The multipath maps are found without a look at the Fibre Channel hosts.
TEST(LazySysfsReads, TheMapsAreFoundWithoutTheHosts) {
  testing::TempDir dir;
  testing::BuildTree("fleet", dir.path());
  WatchingReader reader(fs::canonical(dir.path()));
  const auto registry = BuildSysfsRegistry(dir.path(), &reader);
  ASSERT_TRUE(registry.ok());
  auto maps = (*registry)->MatchServices(kSysfsMultipathMapClass);
  ASSERT_TRUE(maps.ok());
  EXPECT_TRUE(maps->Next());
  EXPECT_FALSE(reader.Looked("fc_host"));
}

TEST(LazySysfsReads, UnitsThatGoAwayAfterTheListingReadAsMissing) {
  testing::TempDir dir;
  BuildHost(dir.path(), 0);
  auto built = BuildSysfsRegistry(dir.path());
  ASSERT_TRUE(built.ok());
  DeviceRegistry* registry = built->get();
  auto targets = registry->MatchServices(kScsiTargetClass);
  ASSERT_TRUE(targets.ok());
  const RegistryEntry first = targets->Next();
  const RegistryEntry second = targets->Next();
  auto units = registry->ChildIterator(second);
  ASSERT_TRUE(units.ok());
  const RegistryEntry kept = units->Next();
  const RegistryEntry gone = units->Next();
  ASSERT_TRUE(kept && gone);

  // One unit's folder goes after it was listed, the other target's before its units are.
  fs::remove_all(fs::canonical(dir.path() + "/bus/scsi/devices/3:0:1:1"));
  fs::remove_all(fs::canonical(dir.path() + "/bus/scsi/devices/target3:0:0"));

  std::ostringstream block;
  PrintLunBlock(LunView{*registry, gone}, block);
  EXPECT_EQ(block.str(), "SCSI Logical Unit @ 1\n\n\n");
  EXPECT_FALSE(registry->ValueOf(gone, kVendorIdentificationKey));
  EXPECT_EQ(*registry->ValueOf(kept, kVendorIdentificationKey)->AsString(), "ACME");
  units = registry->ChildIterator(first);
  ASSERT_TRUE(units.ok());
  EXPECT_FALSE(units->Next());
  std::ostringstream listing;
  PrintFullReport(*registry, listing);
  EXPECT_NE(listing.str().find("Targets"), std::string::npos);
  EXPECT_TRUE(registry->WriteSnapshot().ok());
}

// Resolved by the kernel or component by component, every tree reads the same, links that lead
// out of it included.
TEST(TreeResolution, TheWalkReadsAsTheKernelResolves) {
  for (const char* trees : {"host host-hostile", "inventory", "links-out"}) {
    testing::TempDir dir;
    testing::OnHost(trees, dir.path() + "/sys");
    const std::string root = fs::canonical(dir.path() + "/sys");
    std::vector<std::string> seen;
    for (const auto resolution : {TreeAccess::Resolution::kKernel, TreeAccess::Resolution::kWalk}) {
      const auto reader = MakeTreeReader(root, resolution);
      std::ostringstream listing;
      const auto registry = BuildSysfsRegistry(root, reader.get());
      ASSERT_TRUE(registry.ok());
      PrintFullReport(**registry, listing);
      const StatusOr<std::string> snapshot = (*registry)->WriteSnapshot();
      ASSERT_TRUE(snapshot.ok());
      seen.push_back(listing.str() + *snapshot);
    }
    EXPECT_EQ(seen[0], seen[1]) << trees;
  }
}

}  // namespace
}  // namespace halvane
