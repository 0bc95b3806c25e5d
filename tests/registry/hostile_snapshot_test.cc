// Snapshots and sysfs trees that nobody should write, and what the tool does with them: every case
// ends with a clear outcome and loses nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "registry/snapshot.h"
#include "support/run_binary.h"
#include "support/values.h"
#include "sysfs/fake_sysfs.h"

namespace halvane {
namespace {

using testing::ReadFile;
using testing::RunHalvane;
using testing::TempDir;

constexpr char kPort[] = R"({"class": "KestritUserSCSIParallelInterfaceController", "properties": {
  "Controller Characteristics": {"Port World Wide Name": {"$data": "00:11:22:33:44:55:66:77"}}}})";

testing::RunOptions WithRegistry(const std::string& path) {
  testing::RunOptions options;
  options.env["HALVANE_REGISTRY"] = path;
  return options;
}

TEST(HostileSnapshot, ReplacedBetweenLoadAndSaveIsNotOverwritten) {
  TempDir dir;
  const std::string path = dir.Write(
      "host.json", std::string(R"({"root": {"class": "Root", "children": [)") + kPort + "]}}");
  for (bool by_rename : {false, true}) {
    std::string error;
    auto registry = LoadSnapshotFile(path, &error);
    ASSERT_TRUE(registry) << error;
    const std::string theirs = R"({"root": {"class": "TheirsNow"}})";
    if (by_rename) {
      const std::string other = dir.Write("other.json", theirs);
      std::filesystem::rename(other, path);
    } else {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << theirs;
    }
    RegistryIterator it;
    ASSERT_EQ(registry->MatchServices("KestritUserSCSIParallelInterfaceController", &it),
              kRegistrySuccess);
    EXPECT_EQ(
        registry->WriteProperties(registry->NextEntry(it), {{"Speed", testing::Str("Automatic")}}),
        kRegistryIoError);
    EXPECT_EQ(ReadFile(path), theirs);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << std::string(R"({"root": {"class": "Root", "children": [)") + kPort + "]}}";
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
      << "a temporary file was left";
}

TEST(HostileSnapshot, FilesThatAreNotSnapshots) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo.json";
  mkfifo(fifo.c_str(), 0644);
  struct Case {
    std::string path;
    std::string err;
  };
  const Case cases[] = {
      {dir.path() + "/missing.json", dir.path() + "/missing.json: No such file or directory"},
      {fifo, fifo + ": not a regular file"},
      {dir.path(), dir.path() + ": not a regular file"},
      {dir.Write("empty.json", ""), "syntax error at line 1, column 1"},
      {dir.Write("binary.json", std::string("\x00\xff\x01{", 4)),
       "syntax error at line 1, column 1"},
  };
  for (const Case& c : cases) {
    const auto r = RunHalvane({"-l"}, WithRegistry(c.path));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
    const std::string secret = dir.Write("secret.json", R"({"root": {"class": "Root"}})");
    chmod(secret.c_str(), 0600);
    auto options = WithRegistry(secret);
    options.as_uid = 65534;
    const auto r = RunHalvane({"-l"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "halvane: " + secret + ": Permission denied\n");
  }
}

TEST(HostileSysfs, AttributeFilesOfEveryWrongShape) {
  TempDir dir;
  testing::FakeSysfs fake(dir.path());
  fake.AddHost(4, "0000:06:00.0",
               {{"port_name", "0x10000090fa1b2c40"}, {"node_name", ""}, {"port_type", "Other"}},
               {});
  fake.AddRemotePort(4, 0, 0, 0, {{"port_name", "0x5005076801400001"}});
  fake.AddLun(4, 0, 0, 0, 0, {{"vendor", ""}, {"rev", std::string(5000, 'r')}},
              {{"model", "\xff\xfe\n"}, {"inquiry", ""}, {"vpd_pg83", std::string(70000, '\x83')}});
  const std::string lun =
      dir.path() + "/" + fake.HostFolder(4) + "/rport-4:0-0/target4:0:0/4:0:0:0";
  std::filesystem::create_symlink("access_state", lun + "/access_state.loop");
  std::filesystem::create_symlink("access_state.loop", lun + "/access_state");
  testing::RunOptions options;
  options.env["HALVANE_SYSFS_ROOT"] = dir.path();
  const auto r = RunHalvane({"-l"}, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nControllers\n\n"
            "    PortWWN 10:00:00:90:FA:1B:2C:40\n"
            "           Topology: Other\n"
            "               Slot: 0000:06:00.0\n"
            "               Port: 0\n"
            "Targets\n\n"
            "LUNs:\n\n"
            "SCSI Logical Unit @ 0\n\n"
            "                       Vendor:    \n\n"
            "\n\n");
}

}  // namespace
}  // namespace halvane
