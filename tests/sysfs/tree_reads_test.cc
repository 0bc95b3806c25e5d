// The reader of a tree answers each kind of entry for what it is, its opens and writes never
// leave the tree, and on a sysfs mount it never leaves the mount.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/fake_sysfs.h"
#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

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
