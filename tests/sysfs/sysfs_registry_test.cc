#include "sysfs/sysfs_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "listing/full_report.h"
#include "support/run_binary.h"
#include "sysfs/fake_sysfs.h"
#include "sysfs/scsi_pages.h"

namespace halvane {
namespace {

constexpr char kHost10[] = "devices/pci0000:00/0000:00:03.0/0000:81:00.0/host10";
using testing::HexBytes;
using testing::ReadFile;
using testing::RunHalvane;

// Host 3 (lpfc-like, in slot 3): two SCSI targets and an initiator; host 5 (same card, loop,
// speed through port_speed): no remote ports; host 10 (hostile): unreadable and missing
// attributes, no slot.
class SysfsHost : public ::testing::Test {
 protected:
  void Build(bool hostile) {
    testing::BuildTree("host", root());
    if (!hostile) return;
    testing::BuildTree("host-hostile", root());
    testing::WriteFile(root() + "/" + kHost10 + "/fc_host/host10/port_id",
                       std::string(5000, '7'));  // larger than any attribute
  }

  std::string root() const { return dir_.path(); }
  testing::RunOptions Options() const {
    testing::RunOptions options;
    options.env["HALVANE_SYSFS_ROOT"] = root();
    options.env["HALVANE_SERVICE_DIR"] = root() + "/none";
    return options;
  }

  testing::TempDir dir_;
};

TEST_F(SysfsHost, ListingAndPortBlocks) {
  Build(true);
  const auto r = RunHalvane({"-l"}, Options());
  EXPECT_EQ(r.status, 0);
  const std::string listing = ReadFile(testing::SourceDir() + "/tests/golden/sysfs-listing.txt");
  EXPECT_EQ(r.out, listing);
  const std::size_t block = listing.find("    PortWWN");  // host 3's, up to host 5's
  EXPECT_EQ(RunHalvane({"-c", "10:00:00:90:fa:1b:2c:3d"}, Options()).out,
            "\n" + listing.substr(block, listing.find("    PortWWN", block + 1) - block));
}

// What lsscsi reads from the same tree: host port names, target port names and H:C:T:L.
TEST_F(SysfsHost, AgreesWithLsscsi) {
  if (access("/usr/bin/lsscsi", X_OK) != 0) GTEST_SKIP() << "lsscsi is not installed";
  Build(false);
  auto run = [&](const std::string& args) {
    std::string out;
    std::FILE* p =
        popen(("/usr/bin/lsscsi " + args + " --sysfsroot=" + root() + " 2>/dev/null").c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
    return out;
  };
  auto wwn = [](std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(v));
    return std::string(text);
  };
  std::set<std::string> lsscsi_ports;
  const std::string hosts = run("-H -t");
  const std::regex host_line(R"(fc:0x([0-9a-f]+),)");
  for (std::sregex_iterator it(hosts.begin(), hosts.end(), host_line), end; it != end; ++it) {
    lsscsi_ports.insert(wwn(std::stoull((*it)[1], nullptr, 16)));
  }
  // (H:C:T) groups in order, each with its LUNs and target port name.
  std::vector<std::pair<std::string, std::vector<std::uint64_t>>> lsscsi_targets;
  const std::string units = run("-t");
  const std::regex unit_line(R"(\[(\d+:\d+:\d+):(\d+)\]\s+\S+\s+fc:0x([0-9a-f]+),)");
  for (std::sregex_iterator it(units.begin(), units.end(), unit_line), end; it != end; ++it) {
    const std::string key = (*it)[1].str() + " " + wwn(std::stoull((*it)[3], nullptr, 16));
    if (lsscsi_targets.empty() || lsscsi_targets.back().first != key)
      lsscsi_targets.push_back({key, {}});
    lsscsi_targets.back().second.push_back(std::stoull((*it)[2]));
  }
  ASSERT_EQ(lsscsi_targets.size(), 2u) << units;

  const std::string listing = RunHalvane({"-l"}, Options()).out;
  std::set<std::string> our_ports;
  const std::regex port_line(R"(PortWWN ([0-9A-F:]{23}))");
  for (std::sregex_iterator it(listing.begin(), listing.end(), port_line), end; it != end; ++it) {
    std::string hex = (*it)[1];
    hex.erase(std::remove(hex.begin(), hex.end(), ':'), hex.end());
    our_ports.insert(hex);
  }
  EXPECT_EQ(our_ports, lsscsi_ports);

  // The listing's LUN groups, with each heading turned back into the kernel's LUN number.
  std::vector<std::vector<std::uint64_t>> our_luns;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    if (line == "LUNs:") our_luns.emplace_back();
    if (line.rfind("SCSI Logical Unit @ ", 0) != 0) continue;
    const std::string at = line.substr(20);
    if (at.size() == 23) {
      std::array<std::uint8_t, 8> bytes{};
      for (std::size_t i = 0; i < 8; ++i)
        bytes[i] = static_cast<std::uint8_t>(std::stoi(at.substr(i * 3, 2), nullptr, 16));
      our_luns.back().push_back(ScsiLunNumber(bytes));
    } else {
      our_luns.back().push_back(std::stoull(at));
    }
  }
  // Target port names are not lines of the listing; they come from the registry it is built from.
  std::string error;
  auto registry = BuildSysfsRegistry(root(), &error);
  ASSERT_TRUE(registry) << error;
  std::vector<std::string> our_targets;
  RegistryIterator devices;
  ASSERT_EQ(registry->MatchServices(kScsiDeviceClass, &devices), kRegistrySuccess);
  for (RegistryEntry d = registry->NextEntry(devices); d; d = registry->NextEntry(devices)) {
    auto node = MemoryRegistry::NodeOf(d);
    const std::string target =
        *node->children[0]->properties.AsDictionary()->at("SCSI Target Name").AsString();
    const auto& name = *node->properties.AsDictionary()->at("Remote Port Name").AsData();
    std::uint64_t v = 0;
    for (std::uint8_t b : name) v = v << 8 | b;
    our_targets.push_back(target.substr(6) + " " + wwn(v));
  }
  ASSERT_EQ(our_luns.size(), lsscsi_targets.size());
  for (std::size_t i = 0; i < our_luns.size(); ++i) {
    EXPECT_EQ(our_targets[i], lsscsi_targets[i].first);
    EXPECT_EQ(our_luns[i], lsscsi_targets[i].second);
  }
}

TEST(ScsiPages, LunFormsAndIdentificationPages) {
  const std::pair<std::uint64_t, std::array<std::uint8_t, 8>> luns[] = {
      {0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {1, {0, 1, 0, 0, 0, 0, 0, 0}},
      {256, {1, 0, 0, 0, 0, 0, 0, 0}},
      {16385, {0x40, 1, 0, 0, 0, 0, 0, 0}},
      {1073758208, {0x40, 0, 0x40, 0, 0, 0, 0, 0}},
      {184799748, {0xd2, 4, 0x0b, 3, 0, 0, 0, 0}},
  };
  for (const auto& [lun, bytes] : luns) {
    EXPECT_EQ(ScsiLunBytes(lun), bytes) << lun;
    EXPECT_EQ(ScsiLunNumber(bytes), lun);
  }
  const std::string page =
      HexBytes("00 83 00 10  01 03 00 04 60 01 12 23  02 00 00 04 61 62 63 64");
  auto parse = [](const std::string& p, std::size_t size) {
    return ParseDeviceIdentificationPage(reinterpret_cast<const std::uint8_t*>(p.data()), size);
  };
  EXPECT_EQ(parse(page, page.size()).size(), 2u);
  EXPECT_EQ(parse(page, page.size() - 1).size(), 1u);  // the second runs past the bytes
  std::string shorter = page;
  shorter[3] = 0x0b;  // the page's own length ends inside the second descriptor
  EXPECT_EQ(parse(shorter, shorter.size()).size(), 1u);
  shorter[1] = static_cast<char>(0x80);
  EXPECT_TRUE(parse(shorter, shorter.size()).empty());
  EXPECT_TRUE(parse(page, 3).empty());
  const auto d = parse(page, page.size());
  EXPECT_EQ(d[1].code_set, 2);
  EXPECT_EQ(d[1].type, 0);
  EXPECT_EQ(std::string(d[1].bytes.begin(), d[1].bytes.end()), "abcd");
}

}  // namespace
}  // namespace halvane
