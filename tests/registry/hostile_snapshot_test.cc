// Snapshots and sysfs trees that nobody should write, and what the tool does with them: every case
// ends with a clear outcome and loses nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "registry/snapshot.h"
#include "registry/snapshot_file.h"
#include "support/run_binary.h"
#include "support/twins.h"

namespace halvane {
namespace {

using testing::ReadFile;
using testing::RunHalvane;
using testing::TempDir;
using testing::WithRegistry;

// A snapshot of one port.
const std::string kOnePort = testing::HostText(testing::kOnePortEntry);

// Settings written to the first port of the registry.
Status WriteToPort(DeviceRegistry& registry) {
  const auto port = registry.MatchFirstService("KestritUserSCSIParallelInterfaceController");
  if (!port.ok()) return port.status();
  return registry.WriteProperties(*port, {{"Speed", PropertyValue::String("Automatic")}});
}

TEST(HostileSnapshot, ReplacedBetweenLoadAndSaveIsNotOverwritten) {
  TempDir dir;
  const std::string path = dir.Write("host.json", kOnePort);
  for (bool by_rename : {false, true}) {
    StatusOr<std::unique_ptr<DeviceRegistry>> loaded = LoadSnapshotFile(path, RegistryUse::kRead);
    ASSERT_TRUE(loaded.ok()) << loaded.status().message();
    const std::string theirs = R"({"root": {"class": "TheirsNow"}})";
    if (by_rename) {
      const std::string other = dir.Write("other.json", theirs);
      std::filesystem::rename(other, path);
    } else {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << theirs;
    }
    const Status written = WriteToPort(**loaded);
    EXPECT_EQ(written.code(), kIoError);
    EXPECT_EQ(written.message(), "snapshot changed while saving: " + path);
    EXPECT_EQ(ReadFile(path), theirs);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << kOnePort;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
      << "a temporary file was left";
}

std::size_t SettingsReceived(const std::string& path) {
  return nlohmann::json::parse(ReadFile(path))["root"]["children"][0]
      .value("received-settings", nlohmann::json::array())
      .size();
}

TEST(HostileSnapshot, ParallelWritersAllLand) {
  if (geteuid() != 0) GTEST_SKIP() << "settings need root";
  TempDir dir;
  const std::string path = dir.Write("host.json", kOnePort);
  // Each writer waits at most a minute for the ones before it, so fewer take part where every
  // run is slowed many times over (sanitizers, memcheck).
  const int kWriters = std::getenv("ASAN_OPTIONS") || std::getenv("HALVANE_VALGRIND") ? 25 : 100;
  std::vector<testing::RunResult> results(kWriters);
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      results[i] = RunHalvane({"-c", "00:11:22:33:44:55:66:77", "-t", "nport"}, WithRegistry(path));
    });
  }
  for (std::thread& t : writers) t.join();
  for (const testing::RunResult& r : results) EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(SettingsReceived(path), static_cast<std::size_t>(kWriters));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
      << "a temporary file was left";
}

TEST(HostileSnapshot, ASaveStaysInTheFolderItWasReadIn) {
  // The snapshot's folder is swapped, over and over, with a link to another folder whose file
  // only root may read. Each save must land beside the file it read, keep that file's mode,
  // and leave nothing behind; a save that finds the path leading elsewhere is refused.
  TempDir dir;
  const std::string own = dir.path() + "/own";
  const std::string secret = dir.path() + "/secret";
  const std::string link = dir.path() + "/link";
  const std::pair<std::string, mode_t> folders[] = {{own, 0644}, {secret, 0600}};
  for (const auto& [folder, mode] : folders) {
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/host.json") << kOnePort;
    chmod((folder + "/host.json").c_str(), mode);
  }
  chmod(secret.c_str(), 0700);
  std::filesystem::create_symlink(secret, link);
  if (renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) != 0 ||
      renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) != 0) {
    GTEST_SKIP() << "this file system cannot exchange names";
  }
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    while (!stop) renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  });
  int saved = 0;
  for (int i = 0; i < 300; ++i) {
    auto registry = LoadSnapshotFile(own + "/host.json", RegistryUse::kWrite);
    if (!registry.ok()) continue;  // the path led nowhere at that moment
    const Status status = WriteToPort(**registry);
    ASSERT_TRUE(status.ok() || status.code() == kIoError) << status.message();
    saved += status.ok();
  }
  stop = true;
  swapper.join();
  if (std::filesystem::is_symlink(own))
    renameat2(AT_FDCWD, own.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  for (const auto& [folder, mode] : folders) {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1)
        << "a temporary file was left in " << folder;
    struct stat info {};
    ASSERT_EQ(stat((folder + "/host.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode) << folder;
  }
  EXPECT_EQ(SettingsReceived(own + "/host.json") + SettingsReceived(secret + "/host.json"),
            static_cast<std::size_t>(saved));
}

// A save keeps the snapshot's extended attributes, its POSIX ACL among them.
TEST(HostileSnapshot, ASaveKeepsExtendedAttributesAndTheAcl) {
  if (geteuid() != 0) GTEST_SKIP() << "settings need root";
  TempDir dir;
  const std::string path = dir.Write("host.json", kOnePort);
  if (setxattr(path.c_str(), "user.halvane", "kept", 4, 0) != 0)
    GTEST_SKIP() << "this file system keeps no extended attributes";
  // Version 2, then tag, permissions and id, little-endian: the owner rw, user 65534 r, the
  // group r, the mask r, others r.
  const std::vector<std::uint8_t> acl = {
      2, 0,    0,    0,    1,    0,    6,    0, 0xff, 0xff, 0xff, 0xff, 2,    0,    4,
      0, 0xfe, 0xff, 0,    0,    4,    0,    4, 0,    0xff, 0xff, 0xff, 0xff, 0x10, 0,
      4, 0,    0xff, 0xff, 0xff, 0xff, 0x20, 0, 4,    0,    0xff, 0xff, 0xff, 0xff};
  const bool has_acl =
      setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  const testing::RunResult r =
      RunHalvane({"-c", "00:11:22:33:44:55:66:77", "-s", "auto"}, WithRegistry(path));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(SettingsReceived(path), 1u);
  char value[16] = {};
  EXPECT_EQ(getxattr(path.c_str(), "user.halvane", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
  if (has_acl) {
    std::vector<std::uint8_t> kept(256);
    kept.resize(static_cast<std::size_t>(std::max<ssize_t>(
        0, getxattr(path.c_str(), "system.posix_acl_access", kept.data(), kept.size()))));
    EXPECT_EQ(kept, acl);
  }
}

// A save that fails at a chosen piece of its text, or that is told to stop there, leaves the
// snapshot as it was and no temporary file; the stop then ends the process by its signal.
TEST(HostileSnapshot, ASaveFailedOrStoppedPartWayLeavesTheSnapshotAsItWas) {
  TempDir dir;
  const std::string path = dir.Write("host.json", kOnePort);
  for (const int stop : {0, SIGTERM, SIGINT, SIGHUP}) {
    // Opened before the fork: the child only saves.
    SnapshotFile file;
    ASSERT_TRUE(file.Open(path, RegistryUse::kRead).ok());
    const pid_t child = fork();
    if (child == 0) {
      const Status saved = file.Save([stop](SnapshotSink& sink) {
        if (Status first = sink.Write("{\"root\": "); !first.ok()) return first;
        if (stop == 0) return Status::Error(kIoError, "the sink's second piece");
        std::raise(stop);
        return sink.Write("{\"class\": \"Saved\"}}\n");
      });
      _exit(saved.ok() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, stop == 0 ? 1 << 8 : stop) << stop;  // exit status 1, or the signal
    EXPECT_EQ(ReadFile(path), kOnePort) << stop;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "a temporary file was left, stop " << stop;
  }
}

}  // namespace
}  // namespace halvane
