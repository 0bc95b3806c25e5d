// What a live host's driver attributes receive: the exact bytes, in order, one link reset, a
// refused change rolled back, the host kept for the run alone, and nothing written outside the
// tree or to a file that is not one, nor anything opened that is not a folder or a file. The
// reader of a tree answers each kind of entry for what it is, and on a sysfs mount never leaves
// it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "support/fake_sysfs.h"
#include "support/twins.h"
#include "support/values.h"
#include "sysfs/sysfs_registry.h"
#include "sysfs/sysfs_rescan.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

constexpr char kLpfcPort[] = "10:00:00:90:FA:1B:2C:3D";  // host3
constexpr char kQlaPort[] = "10:00:00:90:FA:1B:2C:3E";   // host5
constexpr char kHost3[] = "/devices/pci0000:00/0000:00:03.0/0000:05:00.0/host3/scsi_host/host3";

TEST(LiveHostWrites, ExactBytesInOrderWithOneLinkResetAndRollback) {
  const std::map<std::string, int> numbers = {{"0", 0}, {"EINVAL", EINVAL}, {"EACCES", EACCES}};
  const std::map<std::string, StatusCode> statuses = {
      {"ok", 0}, {"bad-argument", kBadArgument}, {"not-privileged", kNotPrivileged}};
  const testing::TempDir dir;
  const std::string root = fs::canonical(dir.path());
  testing::BuildTree("writes", root);
  for (const auto& c : testing::Rows("system/live_writes.txt")) {
    testing::WriteFile(root + kHost3 + "/lpfc_link_speed", c.at(0).substr(0, 1) + "\n");
    testing::WriteFile(root + kHost3 + "/lpfc_topology", c.at(0).substr(1, 1) + "\n");
    RecordingAttributeWriter writer;
    std::istringstream answers(c.at(3));
    for (std::string answer; answers >> answer;) writer.answers.push_back(numbers.at(answer));
    // A read the kernel refuses: the attribute of the last field answers EACCES.
    WatchingReader reader(root, c.size() > 7 ? c[7] : "", EACCES);
    const auto registry = BuildSysfsRegistry(root, &reader, &writer);
    ASSERT_TRUE(registry.ok());
    const auto port = FindPortByWWN(**registry, c.at(1) == "lpfc" ? kLpfcPort : kQlaPort);
    ASSERT_TRUE(port.ok()) << c[1];
    const Status applied = (*registry)->WriteProperties(*port, testing::Properties(c.at(2)));
    EXPECT_EQ(applied.code(), statuses.at(c.at(5))) << c[4];
    // A change that could not be undone is named at the end of the refusal.
    EXPECT_TRUE(applied.message().ends_with(c.at(6))) << applied.message();
    std::string writes;
    for (const auto& w : writer.writes)
      writes += w.path.substr(w.path.rfind('/', w.path.rfind('/') - 1) + 1) + " " + w.bytes;
    EXPECT_EQ(writes, c.at(4));
    // From the first read to the last write the host is this run's alone.
    ASSERT_EQ(writer.held.size(), 1u) << c[4];
    EXPECT_EQ(fs::path(writer.held[0]).filename(), c[1] == "lpfc" ? "host3" : "host5");
  }
}

// Nothing but a folder or a regular file is ever opened, whatever a run reads or writes, nor a
// file that has other names written (tests/sysfs/trees/refuse-nodes.tree), whichever way paths
// are resolved: the device nodes and the FIFO see no open (inotify's IN_OPEN, which an O_PATH
// descriptor does not raise: fsnotify_file, include/linux/fsnotify.h), each write is refused, and
// the files outside keep what they held.
TEST(TreeContainment, OnlyFoldersAndFilesOpenedAndNoFileNamedElsewhereWritten) {
  testing::TempDir dir;
  for (const char* tree : {"writes", "nvme", "refuse-nodes"})
    testing::BuildTree(tree, dir.path() + "/sys");
  const std::string root = fs::canonical(dir.path() + "/sys");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  int nodes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink() || entry.is_directory() || entry.is_regular_file()) continue;
    nodes += inotify_add_watch(watch, entry.path().c_str(), IN_OPEN) >= 0;
  }
  EXPECT_EQ(nodes, 5);
  for (const auto resolution : {TreeAccess::Resolution::kKernel, TreeAccess::Resolution::kWalk}) {
    const auto reader = MakeTreeReader(root, resolution);
    const auto writer = MakeTreeWriter(root, resolution);
    std::ostringstream out;
    const auto registry = BuildSysfsRegistry(root, reader.get(), writer.get());
    ASSERT_TRUE(registry.ok());
    PrintFullReport(**registry, out);
    EXPECT_TRUE((*registry)->WriteSnapshot().ok());
    const std::string linked = ": a file with other names (hard links), which no attribute has";
    for (const auto& [wwn, refusal] : {std::pair{kLpfcPort, "host3: lpfc_link_speed"},
                                       std::pair{kQlaPort, "host5: port_speed"}}) {
      const auto port = FindPortByWWN(**registry, wwn);
      ASSERT_TRUE(port.ok());
      EXPECT_EQ((*registry)
                    ->WriteProperties(*port, {{kSpeedSetting, testing::Str("8 Gigabit")}})
                    .message(),
                refusal + linked);
    }
    std::string refused;
    for (const Status& failure : RescanSysfsHosts(root, std::nullopt, writer.get()).failures)
      refused += failure.message() + "\n";
    EXPECT_EQ(refused, "cannot rescan host3: not a regular file\ncannot rescan host5" + linked +
                           "\ncannot rescan host7: No such file or directory\n");
  }
  char event[4096];
  EXPECT_EQ(read(watch, event, sizeof event), -1) << "a node was opened";
  close(watch);
  for (const auto& [name, content] : {std::pair{"lpfc_link_speed", "0\n"},
                                      std::pair{"port_speed", "4\n"}, std::pair{"scan", "\n"}})
    EXPECT_EQ(testing::ReadFile(dir.path() + "/outside/" + name), content) << name;
}

// When host 3's scsi_host folder is exchanged with a link to a folder outside the tree between the
// reading of the host and its writes, settings runs and rescans write only inside it, by either way
// of resolving.
TEST(LiveHostWrites, NothingIsWrittenOutsideTheTreeWhenItIsSwapped) {
  const testing::TempDir dir;
  const std::string base = fs::canonical(dir.path()), tree = base + "/sys", outside = base + "/out";
  testing::BuildTree("writes", tree);
  const std::string scsi_host = tree + fs::path(kHost3).parent_path().string();
  const std::string swap = scsi_host + ".swap";
  for (const char* name : {"lpfc_link_speed", "lpfc_topology", "scan"})
    testing::WriteFile(outside + "/host3/" + name, "0\n");
  fs::create_symlink(outside, swap);
  const auto exchange = [&] {
    return renameat2(AT_FDCWD, scsi_host.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0;
  };
  if (!exchange() || !exchange()) GTEST_SKIP() << "this file system cannot exchange names";
  for (const auto resolution : {TreeAccess::Resolution::kKernel, TreeAccess::Resolution::kWalk}) {
    const auto reader = MakeTreeReader(tree, resolution);
    const auto writer = MakeTreeWriter(tree, resolution);
    const auto registry = BuildSysfsRegistry(tree, reader.get(), writer.get());
    ASSERT_TRUE(registry.ok());
    const auto port = FindPortByWWN(**registry, kLpfcPort);
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(exchange());
    (void)(*registry)->WriteProperties(*port, {{kSpeedSetting, testing::Str("4 Gigabit")},
                                               {kTopologySetting, testing::Str("N_Port")}});
    (void)RescanSysfsHosts(tree, std::nullopt, writer.get());
    ASSERT_TRUE(exchange());
  }
  for (const char* name : {"lpfc_link_speed", "lpfc_topology", "scan"})
    EXPECT_EQ(testing::ReadFile(outside + "/host3/" + name), "0\n") << name;
}

// The rows of tests/sysfs/tree_access.txt.
TEST(TreeReads, EachKindOfEntryAnswersWhatItIsAndNothingLeavesTheTree) {
  testing::TempDir dir;
  testing::BuildTree("tree-access", dir.path());
  const std::string root = fs::canonical(dir.path());
  for (const auto resolution : {TreeAccess::Resolution::kKernel, TreeAccess::Resolution::kWalk}) {
    const auto reader = MakeTreeReader(root, resolution);
    const TreeAccess access(root, resolution);
    for (const auto& row : testing::Rows("sysfs/tree_access.txt")) {
      const std::string &op = row.at(0), path = root + "/" + row.at(1);
      const std::string folder = path.substr(0, path.rfind('/')), name = fs::path(path).filename();
      Reading read = std::optional<std::string>();
      if (op == "read") read = reader->ReadText(folder, name.c_str());
      if (op == "first") read = reader->FirstNameIn(folder, name.c_str());
      if (op == "open" || op == "open-direct") {
        const auto links = op == "open" ? TreeAccess::Links::kFollow : TreeAccess::Links::kNone;
        const StatusOr<Fd> opened = access.Open(path, TreeAccess::Use::kFolder, links);
        read = opened.ok() ? Reading("") : Reading(opened.status().OfPath(path));
      }
      if (op == "write")
        read = MakeTreeWriter(root, resolution)->Write(path, "a", "1\n").OfPath(path);
      const std::string got = !read.ok() ? std::string(read.status().reason())
                              : *read    ? **read
                                         : "absent";
      EXPECT_EQ(got, row.at(2)) << op << " " << row[1];
      EXPECT_EQ(read.status().path(), read.ok() ? "" : path) << op << " " << row[1];
    }
  }
}

// On a sysfs mount every resolution stays on it: what is mounted beneath it leads out of the
// tree, while its own attributes read as any other.
TEST(TreeReads, ASysfsMountIsNeverLeft) {
  const TreeAccess sys("/sys");
  if (!sys.kept_on_sysfs()) GTEST_SKIP() << "/sys is not a sysfs mount here";
  std::string mounted;
  std::ifstream mounts("/proc/self/mounts");
  for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
    if (mounted.empty() && point.rfind("/sys/", 0) == 0 && point.find('\\') == std::string::npos)
      mounted = point;
  if (!mounted.empty()) {
    EXPECT_EQ(sys.Open(mounted, TreeAccess::Use::kFolder).status().message(),
              "leads out of the tree")
        << mounted;
  }
  const auto reader = MakeTreeReader("/sys");
  const Reading kernel = reader->ReadText("/sys/kernel", "mm");
  EXPECT_EQ(kernel.status().reason(), "not a regular file");
  const Reading online = reader->ReadText("/sys/devices/system/cpu", "online");
  ASSERT_TRUE(online.ok() && online->has_value()) << online.status().message();
  EXPECT_FALSE((*online)->empty());
}

}  // namespace
}  // namespace halvane
