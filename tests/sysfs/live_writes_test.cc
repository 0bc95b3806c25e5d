// What a live host's driver attributes receive: the exact bytes, in order, one link reset, a
// refused change rolled back, and nothing written outside the tree, to a file that is not one,
// or through an NPIV virtual port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "inventory/port_info.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"
#include "sysfs/fake_sysfs.h"
#include "sysfs/sysfs_registry.h"

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
    const Status built = BuildSysfsRegistry(root(), nullptr, writer, errors_, &registry);
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
  EXPECT_EQ(ProcessAttributeWriter().Write(fifo, "0\n").code(), kRegistryUnsupported);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
}

}  // namespace
}  // namespace halvane
