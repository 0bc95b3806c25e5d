// The live registry reads only what a run asks for: the runs that need only the ports read the
// same files however many logical units the host has, and an entry that goes away between the
// listing and the reading reads as one whose attributes are missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "cli/front_end.h"
#include "listing/full_report.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "sysfs/fake_sysfs.h"
#include "sysfs/sysfs_files.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

// Counts every list and read, and whether any reached below a host into a target's folders.
class CountingReader : public SysfsReader {
 public:
  int reads = 0;
  bool below_hosts = false;

  std::vector<std::string> List(const std::string& folder) override {
    Count(folder);
    return real_->List(folder);
  }
  std::optional<std::string> Read(const std::string& folder, const char* name,
                                  std::size_t limit) override {
    Count(folder);
    return real_->Read(folder, name, limit);
  }
  std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) override {
    Count(folder);
    return real_->FirstNameIn(folder, name);
  }

 private:
  void Count(const std::string& folder) {
    ++reads;
    if (folder.find("/target") != std::string::npos) below_hosts = true;
  }
  std::unique_ptr<SysfsReader> real_ = MakeTreeReader();
};

// Host 3 (lpfc) with two targets of `luns` logical units each, and an initiator port.
void BuildHost(testing::FakeSysfs& fake, int luns) {
  fake.AddHost(3, "0000:05:00.0",
               {{"port_name", "0x10000090fa1b2c3d"},
                {"node_name", "0x20000090fa1b2c3d"},
                {"port_type", "NPort (fabric via point-to-point)"},
                {"port_state", "Online"}},
               {{"proc_name", "lpfc"}, {"lpfc_link_speed", "2"}, {"lpfc_topology", "0"}});
  fake.AddRemotePort(3, 0, 2, -1, {{"port_name", "0x2000000000000001"}});
  for (int target = 0; target < 2; ++target) {
    fake.AddRemotePort(3, 0, target, target,
                       {{"port_name", "0x500507680140a12" + std::to_string(target)}});
    for (int lun = 0; lun < luns; ++lun) {
      fake.AddLun(3, 0, target, target, static_cast<std::uint64_t>(lun),
                  {{"vendor", "ACME    "}, {"model", "FakeDisk"}, {"state", "running"}}, {});
    }
  }
}

TEST(LazySysfsReads, PortRunsReadTheSameFilesForAnyNumberOfUnits) {
  const std::vector<std::vector<std::string>> runs = {
      {"halvane", "-c", "10:00:00:90:fa:1b:2c:3d"},
      {"halvane", "-c", "10:00:00:90:fa:1b:2c:3d", "-s", "auto", "-t", "nport"},
  };
  std::map<std::size_t, std::vector<int>> counts;  // by run
  for (int luns : {3, 100}) {
    testing::TempDir dir;
    testing::FakeSysfs fake(dir.path());
    BuildHost(fake, luns);
    for (std::size_t run = 0; run < runs.size(); ++run) {
      CountingReader reader;
      RecordingAttributeWriter writer;
      std::ostringstream errors;
      std::string error;
      auto registry = BuildSysfsRegistry(dir.path(), &reader, writer, errors, &error);
      ASSERT_TRUE(registry) << error;
      FixedUserIdentity root(0);
      RecordingMessagePorts ports;
      RecordingHostRescan rescan;
      std::ostringstream out;
      Services services{*registry, root, ports, out, rescan};
      std::vector<std::string> args = runs[run];
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      EXPECT_EQ(
          RunCommandLine(static_cast<int>(argv.size()), argv.data(), services).ProcessExitStatus(),
          kExitSuccess)
          << out.str();
      // The port was found: its block printed, or its settings written.
      EXPECT_TRUE(!out.str().empty() || writer.writes.size() == 2) << run;
      EXPECT_FALSE(reader.below_hosts) << run;
      counts[run].push_back(reader.reads);
    }
  }
  for (const auto& [run, reads] : counts) EXPECT_EQ(reads[0], reads[1]) << run;
}

TEST(LazySysfsReads, UnitsThatGoAwayAfterTheListingReadAsMissing) {
  testing::TempDir dir;
  testing::FakeSysfs fake(dir.path());
  BuildHost(fake, 2);
  std::string error;
  auto registry = BuildSysfsRegistry(dir.path(), &error);
  ASSERT_TRUE(registry) << error;
  RegistryIterator targets;
  ASSERT_EQ(registry->MatchServices(kScsiTargetClass, &targets), kRegistrySuccess);
  const RegistryEntry first = registry->NextEntry(targets);
  const RegistryEntry second = registry->NextEntry(targets);
  RegistryIterator units;
  ASSERT_EQ(registry->ChildIterator(first, &units), kRegistrySuccess);
  const RegistryEntry kept = registry->NextEntry(units);
  const RegistryEntry gone = registry->NextEntry(units);
  ASSERT_TRUE(kept && gone);

  // One unit's folder goes after it was listed, the other target's before its units are.
  fs::remove_all(fs::canonical(dir.path() + "/bus/scsi/devices/3:0:0:1"));
  fs::remove_all(fs::canonical(dir.path() + "/bus/scsi/devices/3:0:1:0").parent_path());

  std::ostringstream block;
  PrintLunBlock(*registry, gone, block);
  EXPECT_EQ(block.str(), "SCSI Logical Unit @ 1\n\n\n");
  EXPECT_FALSE(registry->ReadProperty(gone, kVendorIdentificationKey));
  EXPECT_EQ(*registry->ReadProperty(kept, kVendorIdentificationKey)->AsString(), "ACME");
  ASSERT_EQ(registry->ChildIterator(second, &units), kRegistrySuccess);
  EXPECT_FALSE(registry->NextEntry(units));
  std::ostringstream listing;
  EXPECT_EQ(PrintFullReport(*registry, listing), 0);
  std::string snapshot;
  EXPECT_EQ(registry->WriteSnapshot(&snapshot), kRegistrySuccess);
}

}  // namespace
}  // namespace halvane
