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
using testing::ReadFile;
using testing::Str;

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

  RegistryStatus Apply(const std::string& wwn, const Dictionary& settings,
                       AttributeWriter& writer) {
    std::string error;
    auto registry = BuildSysfsRegistry(root(), writer, errors_, &error);
    RegistryEntry port;
    if (!registry || FindPortByWWN(*registry, wwn, &port) != kRegistrySuccess) {
      ADD_FAILURE() << wwn << " " << error;
      return kRegistryError;
    }
    return registry->WriteProperties(port, settings);
  }

  testing::TempDir dir_;
  std::ostringstream errors_;
};

TEST_F(LiveHostWrites, ExactBytesInOrderWithOneLinkResetAndRollback) {
  const Dictionary speed{{"Speed", Str("2 Gigabit")}};
  const Dictionary topology{{"Topology", Str("N_Port")}};
  const Dictionary both{{"Speed", Str("2 Gigabit")}, {"Topology", Str("NL_Port")}};
  const std::string nolip2 = "host3/lpfc_link_speed nolip 2\n";
  const std::string nlport = "host3/lpfc_topology 4\n";
  struct Case {
    std::string before;  // lpfc's configured speed and topology
    const char* port;
    Dictionary settings;
    std::vector<int> answers;
    std::string writes;  // "<host>/<attribute> <bytes>" for each write, in order
    RegistryStatus status;
    std::string errors;
  };
  const Case cases[] = {
      {"00", kLpfcPort, speed, {}, "host3/lpfc_link_speed 2\n", 0, ""},
      {"00", kLpfcPort, topology, {}, "host3/lpfc_topology 2\n", 0, ""},
      // The speed is only recorded; the topology resets the link, once, with both in place.
      {"00", kLpfcPort, both, {}, nolip2 + nlport, 0, ""},
      // The topology refused: the speed goes back as it was, without a reset.
      {"00",
       kLpfcPort,
       both,
       {0, EINVAL},
       nolip2 + nlport + "host3/lpfc_link_speed nolip 0\n",
       kRegistryBadArgument,
       ""},
      {"10",
       kLpfcPort,
       both,
       {0, EINVAL, EACCES},
       nolip2 + nlport + "host3/lpfc_link_speed nolip 1\n",
       kRegistryBadArgument,
       "halvane: host3: lpfc_link_speed is left at 2 (writing back 1 failed: Permission denied)\n"},
      {"00", kLpfcPort, both, {EACCES}, nolip2, kRegistryNotPrivileged, ""},
      // lpfc already configured so: no write, no reset.
      {"24", kLpfcPort, both, {}, "", 0, ""},
      {"20", kLpfcPort, both, {}, nlport, 0, ""},
      // port_speed reads back the link's rate, here the one asked for, so it is written anyway;
      // qla2xxx refuses a rate it is already configured for with EINVAL.
      {"00",
       kQlaPort,
       {{"Speed", Str("4 Gigabit")}},
       {EINVAL},
       "host5/port_speed 4\n",
       kRegistryBadArgument,
       ""},
  };
  for (const Case& c : cases) {
    testing::WriteFile(Attribute(3, "lpfc_link_speed"), c.before.substr(0, 1) + "\n");
    testing::WriteFile(Attribute(3, "lpfc_topology"), c.before.substr(1, 1) + "\n");
    errors_.str("");
    RecordingAttributeWriter writer;
    writer.answers = c.answers;
    EXPECT_EQ(Apply(c.port, c.settings, writer), c.status) << c.writes;
    std::string writes;
    for (const auto& w : writer.writes) {
      const fs::path path(w.path);
      writes +=
          path.parent_path().filename().string() + "/" + path.filename().string() + " " + w.bytes;
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(errors_.str(), c.errors) << c.writes;
  }
}

// Each case plants one hostile thing in a fresh tree; the real writer must refuse at once with
// nothing written anywhere.
TEST_F(LiveHostWrites, RefusedWithNothingWritten) {
  const testing::TempDir outside_dir;
  const std::string outside = outside_dir.path();
  testing::WriteFile(outside + "/lpfc_link_speed", "0\n");
  testing::WriteFile(outside + "/lpfc_topology", "0\n");
  auto relink = [&](const std::string& link, const std::string& target) {
    fs::remove(root() + "/" + link);
    fs::create_directory_symlink(target, root() + "/" + link);
  };
  struct Case {
    const char* what;
    std::function<void()> plant;
    const char* port;
    Dictionary settings;
  };
  const Dictionary both{{"Speed", Str("1 Gigabit")}, {"Topology", Str("N_Port")}};
  const Case cases[] = {
      {"the host's scsi_host link leaves the tree",
       [&] { relink("class/scsi_host/host3", outside); }, kLpfcPort, both},
      {"the host's scsi_host link leads to another adapter",
       [&] { relink("class/scsi_host/host3", root() + kHost5); },
       kLpfcPort,
       {{"Speed", Str("Automatic")}}},
      {"an attribute is a link out of the tree",
       [&] {
         fs::remove(Attribute(3, "lpfc_topology"));
         fs::create_symlink(outside + "/lpfc_topology", Attribute(3, "lpfc_topology"));
       },
       kLpfcPort, both},
      {"an attribute is a FIFO",
       [&] {
         fs::remove(Attribute(5, "port_speed"));
         ASSERT_EQ(mkfifo(Attribute(5, "port_speed").c_str(), 0644), 0);
       },
       kQlaPort,
       {{"Speed", Str("Automatic")}}},
      {"the host is an NPIV virtual port",
       [&] { testing::BuildTree("writes-npiv", root()); },
       "10:00:00:90:FA:1B:2C:3F",
       {{"Speed", Str("Automatic")}}},
  };
  // A FIFO opened for writing without O_NONBLOCK would wait for a reader forever.
  alarm(20);
  for (const Case& c : cases) {
    fs::remove_all(root());
    testing::BuildTree("writes", root());
    c.plant();
    EXPECT_EQ(Apply(c.port, c.settings, ProcessAttributeWriter()), kRegistryUnsupported) << c.what;
    for (const std::string& file : {outside + "/lpfc_link_speed", outside + "/lpfc_topology",
                                    Attribute(3, "lpfc_link_speed")}) {
      EXPECT_EQ(ReadFile(file), "0\n") << c.what << ": " << file;
    }
    if (c.port != kQlaPort) {
      EXPECT_EQ(ReadFile(Attribute(5, "port_speed")), "4\n") << c.what;
    }
  }
  alarm(0);
}

TEST_F(LiveHostWrites, AFifoWithAReaderIsNotWrittenEither) {
  const std::string fifo = root() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(ProcessAttributeWriter().Write(fifo, "0\n"), kNotAnAttribute);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0);
  close(reader);
}

// -r asks the kernel to rescan every listed host, on the live host only; failures are told per
// host on standard error and change nothing else.
TEST_F(LiveHostWrites, RefreshRescansEveryFibreChannelHostOfTheLiveHost) {
  testing::RunOptions options;
  options.env["HALVANE_SYSFS_ROOT"] = root();
  options.env["HALVANE_SERVICE_DIR"] = root() + "/none";
  const auto nobody = [&] {
    testing::RunOptions o = options;
    o.as_uid = 65534;
    return testing::RunHalvane({"-r"}, o);
  }();
  EXPECT_EQ(nobody.err,
            "halvane: cannot rescan host3: Permission denied\n"
            "halvane: cannot rescan host5: Permission denied\n");
  EXPECT_EQ(nobody.status, 0);

  options.env["HALVANE_REGISTRY"] = testing::SourceDir() + "/examples/san.json";
  EXPECT_EQ(testing::RunHalvane({"-r"}, options).status, 0);
  EXPECT_EQ(ReadFile(Attribute(3, "scan")), "\n");  // a snapshot has no host behind it

  options.env.erase("HALVANE_REGISTRY");
  const auto r = testing::RunHalvane({"-r"}, options);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(Attribute(3, "scan")), "- - -\n");
  EXPECT_EQ(ReadFile(Attribute(5, "scan")), "- - -\n");
}

}  // namespace
}  // namespace halvane
