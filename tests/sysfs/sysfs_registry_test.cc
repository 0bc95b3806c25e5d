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

using testing::FakeSysfs;
using testing::HexBytes;
using testing::ReadFile;
using testing::RunHalvane;

const std::string kInquiryAluaBoth = HexBytes("00 00 06 12 1f 30 00 02") + std::string(28, ' ');
const std::string kInquiryNoAlua = HexBytes("00 00 06 12 1f 00 00 02") + std::string(28, ' ');

// Host 3 (lpfc-like, in slot 3): two SCSI targets and an initiator; host 5 (same card, loop,
// speed through port_speed): no remote ports; host 10 (hostile): unreadable and missing
// attributes, no slot.
class SysfsHost : public ::testing::Test {
 protected:
  void Build(bool hostile) {
    FakeSysfs& fake = fake_;
    fake.AddSlot("3", "0000:05:00");
    fake.AddSlot("9", "0000:07");  // an empty slot's placeholder address
    fake.AddHost(3, "0000:05:00.0",
                 {{"port_name", "0x10000090fa1b2c3d"},
                  {"node_name", "0x20000090fa1b2c3d"},
                  {"port_id", "0x010a00"},
                  {"port_type", "NPort (fabric via point-to-point)"},
                  {"port_state", "Online"},
                  {"speed", "8 Gbit"}},
                 {{"proc_name", "lpfc"}, {"lpfc_link_speed", "0"}, {"lpfc_topology", "0"}});
    fake.AddRemotePort(3, 0, 0, 1,
                       {{"port_name", "0x500507680140a123"},
                        {"node_name", "0x500507680100a123"},
                        {"port_id", "0x010200"},
                        {"roles", "FCP Target"}});
    fake.AddRemotePort(3, 0, 1, 0, {{"port_name", "0x50050768014000ff"}, {"port_id", "0x010300"}});
    fake.AddRemotePort(3, 0, 2, -1,
                       {{"port_name", "0x2000000000000001"}, {"roles", "FCP Initiator"}});
    const testing::Attributes disk = {
        {"vendor", "ACME    "}, {"model", "FakeDisk        "}, {"rev", "0001"}};
    testing::Attributes lun0 = disk;
    lun0["access_state"] = "active/optimized";
    fake.AddLun(
        3, 0, 0, 1, 0, lun0,
        {{"inquiry", kInquiryAluaBoth},
         {"vpd_pg83",
          HexBytes("00 83 00 2b  01 03 00 10 60 01 12 23 34 45 56 67 88 99 aa bb cc dd 00 00"
                   "  02 00 00 07 61 6c 69 61 73 2d 30"
                   "  01 93 00 08 50 05 07 68 01 40 a1 23")}});
    fake.AddLun(3, 0, 0, 1, 1, disk,
                {{"inquiry", kInquiryNoAlua},
                 {"vpd_pg83", HexBytes("00 83 00 0c 01 02 00 08 00 11 22 33 44 55 66 77")}});
    fake.AddLun(3, 0, 0, 1, 16385, disk, {});
    // A page whose second descriptor runs past its end, and INQUIRY data too short for TPGS.
    fake.AddLun(
        3, 0, 1, 0, 2, {{"vendor", "TAPECO  "}, {"model", "LTO"}},
        {{"inquiry", HexBytes("00 00 06 12")},
         {"vpd_pg83",
          HexBytes("00 83 00 1f  02 00 00 07 61 6c 69 61 73 2d 32  01 03 00 10 60 01 12 23")}});
    fake.AddHost(5, "0000:05:00.1",
                 {{"port_name", "0x10000090fa1b2c3e"},
                  {"node_name", "0x20000090fa1b2c3e"},
                  {"port_id", "0x0100ef"},
                  {"port_type", "NLPort (fabric via loop)"},
                  {"port_state", "Linkdown"},
                  {"speed", "unknown"}},
                 {{"proc_name", "qla2xxx"}, {"port_speed", "8"}});
    if (!hostile) return;
    fake.AddHost(10, "0000:81:00.0",
                 {{"node_name", "0x2000000000000a0a"}, {"port_type", "LPort (private loop)"}},
                 {{"proc_name", "lpfc"}});
    const std::string h10 = root() + "/" + fake.HostFolder(10) + "/fc_host/host10";
    std::filesystem::create_directory(h10 + "/port_state");       // a folder, not a file
    std::filesystem::create_symlink("loop", h10 + "/port_name");  // a link loop
    std::filesystem::create_symlink("port_name", h10 + "/loop");
    mkfifo((h10 + "/speed").c_str(), 0644);                          // would block a plain read
    FakeSysfs::WriteFile(h10 + "/port_id", std::string(5000, '7'));  // larger than any attribute
  }

  std::string root() const { return dir_.path(); }
  testing::RunOptions Options() const {
    testing::RunOptions options;
    options.env["HALVANE_SYSFS_ROOT"] = root();
    options.env["HALVANE_SERVICE_DIR"] = root() + "/none";
    return options;
  }
  std::string Attribute(int host, const std::string& name) {
    return ReadFile(root() + "/" + fake_.ScsiHostFolder(host) + "/" + name);
  }

  testing::TempDir dir_;
  FakeSysfs fake_{dir_.path()};
};

const char kHost3Block[] =
    "    PortWWN 10:00:00:90:FA:1B:2C:3D\n"
    "        Port Status: Online\n"
    "              Speed: 8 Gbit\n"
    "           Topology: NPort (fabric via point-to-point)\n"
    "               Slot: 3\n"
    "               Port: 0\n";

TEST_F(SysfsHost, ListingAndPortBlocks) {
  Build(true);
  const auto r = RunHalvane({"-l"}, Options());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("\nControllers\n\n") + kHost3Block +
                       "    PortWWN 10:00:00:90:FA:1B:2C:3E\n"
                       "        Port Status: Linkdown\n"
                       "              AL_PA: 0xEF\n"
                       "              Speed: unknown\n"
                       "           Topology: NLPort (fabric via loop)\n"
                       "               Slot: 3\n"
                       "               Port: 1\n"
                       "    PortWWN invalid\n"
                       "           Topology: LPort (private loop)\n"
                       "               Slot: 0000:81:00.0\n"
                       "               Port: 0\n"
                       "Targets\n\n"
                       "NodeWWN 20:00:00:90:FA:1B:2C:3D\n\n"
                       "LUNs:\n\n"
                       "SCSI Logical Unit @ 2\n\n"
                       "                    LUN Alias:    alias-2\n"
                       "                        Model:    LTO\n"
                       "                       Vendor:    TAPECO\n\n"
                       "LUNs:\n\n"
                       "SCSI Logical Unit @ 0\n\n"
                       "                     Revision:    0001\n"
                       "       Logical Unit Unique ID:    0x60011223344556678899AABBCCDD0000\n"
                       "                 ALUA Support:    Implicit and Explicit\n"
                       "    Logical Unit Access State:    active/optimized\n"
                       "                    LUN Alias:    alias-0\n"
                       "                        Model:    FakeDisk\n"
                       "                       Vendor:    ACME\n\n"
                       "SCSI Logical Unit @ 1\n\n"
                       "                     Revision:    0001\n"
                       "       Logical Unit Unique ID:    0x0011223344556677\n"
                       "                 ALUA Support:    Not Supported\n"
                       "                        Model:    FakeDisk\n"
                       "                       Vendor:    ACME\n\n"
                       "SCSI Logical Unit @ 40:01:00:00:00:00:00:00\n\n"
                       "                     Revision:    0001\n"
                       "                        Model:    FakeDisk\n"
                       "                       Vendor:    ACME\n\n"
                       "\n\n");
  EXPECT_EQ(RunHalvane({"-c", "10:00:00:90:fa:1b:2c:3d"}, Options()).out,
            std::string("\n") + kHost3Block);
}

TEST_F(SysfsHost, HostsWithoutFibreChannelOrWithoutATree) {
  const auto empty = RunHalvane({"-l"}, Options());  // no class/fc_host at all
  EXPECT_EQ(empty.out, "\nControllers\n\nTargets\n\n\n\n");
  EXPECT_EQ(empty.status, 0);
  auto options = Options();
  options.env["HALVANE_SYSFS_ROOT"] = root() + "/missing";
  const auto missing = RunHalvane({"-l"}, options);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "halvane: " + root() + "/missing: No such file or directory\n");
}

TEST_F(SysfsHost, SettingsReachTheDriverAttributesThatTakeThem) {
  Build(true);
  const std::string refused =
      "Could not apply settings to the specified port (status 0xE00002C7).\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string speed3, topology3, speed5;
  };
  // Each run starts from lpfc at auto/auto and qla2xxx at 8G.
  const Case cases[] = {
      {{"-c", "10:00:00:90:FA:1B:2C:3D", "-s", "2gigabit", "-t", "nport"},
       "",
       0,
       "nolip 2\n",
       "2\n",
       "8\n"},
      {{"-c", "10:00:00:90:FA:1B:2C:3D", "-s", "auto", "-t", "nlport"}, "", 0, "0\n", "4\n", "8\n"},
      // Any key the host cannot take refuses the whole request, with nothing written.
      {{"-c", "10:00:00:90:FA:1B:2C:3D", "-s", "1gigabit", "-a", "1E"},
       refused,
       1,
       "0\n",
       "0\n",
       "8\n"},
      {{"-c", "10:00:00:90:FA:1B:2C:3E", "-s", "4gigabit"}, "", 0, "0\n", "0\n", "4\n"},
      {{"-c", "10:00:00:90:FA:1B:2C:3E", "-s", "2gigabit"}, refused, 1, "0\n", "0\n", "8\n"},
      {{"-c", "10:00:00:90:FA:1B:2C:3E", "-s", "auto", "-t", "auto"},
       refused,
       1,
       "0\n",
       "0\n",
       "8\n"},
  };
  for (const Case& c : cases) {
    FakeSysfs::WriteFile(root() + "/" + fake_.ScsiHostFolder(3) + "/lpfc_link_speed", "0\n");
    FakeSysfs::WriteFile(root() + "/" + fake_.ScsiHostFolder(3) + "/lpfc_topology", "0\n");
    FakeSysfs::WriteFile(root() + "/" + fake_.ScsiHostFolder(5) + "/port_speed", "8\n");
    const auto r = RunHalvane(c.args, Options());
    EXPECT_EQ(r.out, c.out) << c.args[3];
    EXPECT_EQ(r.status, c.status) << c.args[3];
    EXPECT_EQ(Attribute(3, "lpfc_link_speed"), c.speed3) << c.args[3];
    EXPECT_EQ(Attribute(3, "lpfc_topology"), c.topology3) << c.args[3];
    EXPECT_EQ(Attribute(5, "port_speed"), c.speed5) << c.args[3];
  }
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
    RegistryIterator targets;
    ASSERT_EQ(registry->ChildIterator(d, &targets), kRegistrySuccess);
    const std::string target =
        *registry->ReadProperty(registry->NextEntry(targets), "SCSI Target Name")->AsString();
    const Data name = *registry->ReadProperty(d, "Remote Port Name")->AsData();
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
