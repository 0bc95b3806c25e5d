// What a live host's driver attributes receive: the exact bytes, in order, one link reset, a
// refused change rolled back, and nothing written outside the tree, to a file that is not one,
// or through an NPIV virtual port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "inventory/port_info.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"
#include "sysfs/fake_sysfs.h"
#include "sysfs/sysfs_registry.h"
#include "sysfs/sysfs_rescan.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

constexpr char kLpfcPort[] = "10:00:00:90:FA:1B:2C:3D";  // host3
constexpr char kQlaPort[] = "10:00:00:90:FA:1B:2C:3E";   // host5
constexpr char kHost3[] = "/devices/pci0000:00/0000:00:03.0/0000:05:00.0/host3/scsi_host/host3/";
constexpr char kHost5[] = "/devices/pci0000:00/0000:00:03.0/0000:05:00.1/host5/scsi_host/host5/";

class LiveHostWrites : public ::testing::Test {
 protected:
  LiveHostWrites() { testing::BuildTree("writes", root()); }

  std::string root() const { return dir_.path(); }
  std::string Attribute(int host, const std::string& name) const {
    return root() + (host == 3 ? kHost3 : kHost5) + name;
  }

  StatusCode Apply(const std::string& wwn, const Dictionary& settings, AttributeWriter& writer) {
    std::unique_ptr<DeviceRegistry> registry;
    const Status built = BuildSysfsRegistry(root(), nullptr, &writer, errors_, &registry);
    RegistryEntry port;
    if (!built.ok() || !FindPortByWWN(*registry, wwn, &port).ok()) {
      ADD_FAILURE() << wwn << " " << built.message();
      return kRegistryIoError;
    }
    return registry->WriteProperties(port, settings).code();
  }

  testing::TempDir dir_;
  std::ostringstream errors_;
};

TEST_F(LiveHostWrites, ExactBytesInOrderWithOneLinkResetAndRollback) {
  const std::map<std::string, int> numbers = {{"0", 0}, {"EINVAL", EINVAL}, {"EACCES", EACCES}};
  const std::map<std::string, StatusCode> statuses = {{"ok", 0},
                                                      {"bad-argument", kRegistryBadArgument},
                                                      {"not-privileged", kRegistryNotPrivileged}};
  for (const auto& c : testing::Rows("sysfs/live_writes.txt")) {
    testing::WriteFile(Attribute(3, "lpfc_link_speed"), c.at(0).substr(0, 1) + "\n");
    testing::WriteFile(Attribute(3, "lpfc_topology"), c.at(0).substr(1, 1) + "\n");
    errors_.str("");
    RecordingAttributeWriter writer;
    std::istringstream answers(c.at(3));
    for (std::string answer; answers >> answer;) writer.answers.push_back(numbers.at(answer));
    const Dictionary settings = testing::Properties(c.at(2));
    EXPECT_EQ(Apply(c.at(1) == "lpfc" ? kLpfcPort : kQlaPort, settings, writer),
              statuses.at(c.at(5)))
        << c[4];
    std::string writes;
    for (const auto& w : writer.writes) {
      const fs::path path(w.path);
      writes +=
          path.parent_path().filename().string() + "/" + path.filename().string() + " " + w.bytes;
    }
    EXPECT_EQ(writes, c.at(4));
    EXPECT_EQ(errors_.str(), c.at(6)) << c[4];
  }
}

TEST_F(LiveHostWrites, AFifoWithAReaderIsNotWrittenEither) {
  const std::string fifo = root() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(
      MakeTreeWriter(fs::canonical(root()))->Write(fs::canonical(root()), "fifo", "0\n").code(),
      kRegistryUnsupported);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
}

// While another process keeps exchanging host 3's scsi_host folder with a link to a folder
// outside the tree, settings runs and rescans write only inside it, by either way of resolving.
TEST_F(LiveHostWrites, NothingIsWrittenOutsideTheTreeWhileItIsSwapped) {
  const std::string tree = fs::canonical(root());
  const std::string scsi_host =
      tree + std::string(kHost3).substr(0, std::string(kHost3).size() - 7);
  const std::string swap = scsi_host + ".swap";
  const std::string outside =
      fs::canonical(root() + "/..").string() + "/outside-" + fs::path(root()).filename().string();
  for (const char* name : {"lpfc_link_speed", "lpfc_topology", "scan"})
    testing::WriteFile(outside + "/host3/" + name, "0\n");
  fs::create_symlink(outside, swap);
  if (renameat2(AT_FDCWD, scsi_host.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) != 0)
    GTEST_SKIP() << "this file system cannot exchange names";
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    while (!stop) renameat2(AT_FDCWD, scsi_host.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
  });
  int written = 0;
  for (int run = 0; run < 1000; ++run) {
    const auto resolution =
        run % 2 ? TreeAccess::Resolution::kWalk : TreeAccess::Resolution::kKernel;
    const auto reader = MakeTreeReader(tree, resolution);
    const auto writer = MakeTreeWriter(tree, resolution);
    std::unique_ptr<DeviceRegistry> registry;
    RegistryEntry port;
    ASSERT_TRUE(BuildSysfsRegistry(tree, reader.get(), writer.get(), errors_, &registry).ok());
    if (!FindPortByWWN(*registry, kLpfcPort, &port).ok()) continue;
    const bool fast = run % 4 < 2;
    written += registry
                   ->WriteProperties(
                       port, {{kSpeedSetting, testing::Str(fast ? "4 Gigabit" : "Automatic")},
                              {kTopologySetting, testing::Str(fast ? "N_Port" : "Automatic")}})
                   .ok();
    RescanSysfsHosts(tree, std::nullopt, writer.get(), errors_);
  }
  stop = true;
  swapper.join();
  for (const char* name : {"lpfc_link_speed", "lpfc_topology", "scan"})
    EXPECT_EQ(testing::ReadFile(outside + "/host3/" + name), "0\n") << name;
  EXPECT_GT(written, 0) << "no run reached the host: the test proves nothing";
  fs::remove_all(outside);
}

// Answers writes as the kernel's stores do (Linux 6.1), into files that read back the configured
// value: lpfc_link_speed_store (lpfc_attr.c) takes "nolip <value>" and refuses with EINVAL a rate
// the adapter's link modes lack, here those its fc_host's supported_speeds does not list;
// qla2x00_port_speed_store (qla_attr.c) refuses every rate on adapters other than 27xx and 28xx,
// and the rate already set, with EINVAL; every store returns once the adapter has taken the value
// (store_scan once the scan is over). Holds are the real ones.
class KernelStores : public AttributeWriter {
 public:
  explicit KernelStores(const std::string& root) : real_(MakeTreeWriter(root)) {}
  std::vector<std::string> writes;

  Status Write(const std::string& folder, const char* name, std::string_view bytes) override {
    writes.push_back(fs::path(folder).filename().string() + "/" + name + " " + std::string(bytes));
    if (bytes.substr(0, 6) == "nolip ") bytes.remove_prefix(6);
    const std::string value(bytes.substr(0, bytes.find('\n')));
    const fs::path host = fs::path(folder).parent_path().parent_path();
    if (std::string(name) == "lpfc_link_speed" && value != "0") {
      const std::string speeds = testing::ReadFile(
          (host / "fc_host" / fs::path(folder).filename() / "supported_speeds").string());
      if (!speeds.empty() && speeds.find(value + " Gbit") == std::string::npos)
        return AttributeWriteStatus(EINVAL);
    }
    if (std::string(name) == "port_speed") {
      const std::string device = testing::ReadFile((host.parent_path() / "device").string());
      if (device != "0x2071\n" || testing::ReadFile(folder + "/port_speed") == value + "\n")
        return AttributeWriteStatus(EINVAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return real_->Write(folder, name, value + "\n");
  }
  Status Hold(const std::string& folder) override { return real_->Hold(folder); }

 private:
  std::unique_ptr<AttributeWriter> real_;
};

// What an adapter cannot take is refused before anything reaches its driver; what only the
// driver can know comes back with its status and the reason named.
TEST_F(LiveHostWrites, TheAdaptersRefusalsComeBeforeAnyWrite) {
  struct Case {
    const char* tree;
    const char* port;
    Dictionary settings;
    StatusCode status;
    const char* writes;
    const char* message;
  };
  const Case cases[] = {
      {"speeds",
       kLpfcPort,
       {{kSpeedSetting, testing::Str("1 Gigabit")}},
       kRegistryUnsupported,
       "",
       "host3: the adapter cannot run 1 Gbit: -s takes auto, 4gigabit, 8gigabit or 16gigabit here"},
      {"speeds",
       kLpfcPort,
       {{kSpeedSetting, testing::Str("16 Gigabit")}},
       0,
       "host3/lpfc_link_speed 16\n",
       ""},
      {"speeds",
       kQlaPort,
       {{kSpeedSetting, testing::Str("8 Gigabit")}},
       kRegistryUnsupported,
       "",
       "host5: qla2xxx sets no speed on this adapter (PCI device 0x2532), only on 27xx and 28xx "
       "adapters"},
      {nullptr,
       kQlaPort,
       {{kSpeedSetting, testing::Str("4 Gigabit")}},
       kRegistryBadArgument,
       "host5/port_speed 4\n",
       "host5: port_speed: Invalid argument (qla2xxx refuses the rate the adapter is already set "
       "to, and any rate while it is down)"},
      {nullptr,
       kQlaPort,
       {{kTopologySetting, testing::Str("N_Port")}},
       kRegistryUnsupported,
       "",
       "host5: its driver has no topology setting"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    testing::BuildTree("writes", dir.path());
    if (c.tree) testing::BuildTree(c.tree, dir.path());
    const std::string tree = fs::canonical(dir.path());
    KernelStores stores(tree);
    std::unique_ptr<DeviceRegistry> registry;
    RegistryEntry port;
    ASSERT_TRUE(BuildSysfsRegistry(tree, nullptr, &stores, errors_, &registry).ok());
    ASSERT_TRUE(FindPortByWWN(*registry, c.port, &port).ok());
    const Status status = registry->WriteProperties(port, c.settings);
    EXPECT_EQ(status.code(), c.status) << c.message;
    EXPECT_EQ(status.message(), c.message);
    std::string writes;
    for (const std::string& w : stores.writes) writes += w;
    EXPECT_EQ(writes, c.writes) << c.message;
  }
}

// Two runs that change one host at once apply one after the other: the host ends with one run's
// values, whole.
TEST_F(LiveHostWrites, OppositeRunsAtOnceLeaveOneRunsValuesWhole) {
  const std::string tree = fs::canonical(root());
  const Dictionary settings[] = {
      {{kSpeedSetting, testing::Str("2 Gigabit")}, {kTopologySetting, testing::Str("N_Port")}},
      {{kSpeedSetting, testing::Str("4 Gigabit")}, {kTopologySetting, testing::Str("NL_Port")}}};
  for (int round = 0; round < 50; ++round) {
    testing::WriteFile(Attribute(3, "lpfc_link_speed"), "0\n");
    testing::WriteFile(Attribute(3, "lpfc_topology"), "0\n");
    std::atomic<int> ready = 0;
    std::vector<std::thread> runs;
    for (const Dictionary& wanted : settings) {
      runs.emplace_back([&, wanted] {
        KernelStores writer(tree);
        std::ostringstream errors;
        std::unique_ptr<DeviceRegistry> registry;
        RegistryEntry port;
        if (!BuildSysfsRegistry(tree, nullptr, &writer, errors, &registry).ok() ||
            !FindPortByWWN(*registry, kLpfcPort, &port).ok())
          return;
        for (++ready; ready < 2;) {
        }
        (void)registry->WriteProperties(port, wanted);
      });
    }
    for (std::thread& run : runs) run.join();
    const std::string both = testing::ReadFile(Attribute(3, "lpfc_link_speed")) +
                             testing::ReadFile(Attribute(3, "lpfc_topology"));
    ASSERT_TRUE(both == "2\n2\n" || both == "4\n4\n") << "round " << round << ": " << both;
  }
}

}  // namespace
}  // namespace halvane
