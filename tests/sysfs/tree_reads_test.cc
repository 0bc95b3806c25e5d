// The reader of a tree answers each kind of entry for what it is, and on a sysfs mount never
// leaves it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <sys/stat.h>

#include "support/run_binary.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

// What a read of each kind of entry answers, by either way of resolving: a regular file its
// text; a name that is not there nothing; anything else a failure naming it, never opened (a
// FIFO opened for reading would block the run).
TEST(TreeReads, EachKindOfEntryAnswersWhatItIs) {
  testing::TempDir dir;
  const std::string root = fs::canonical(dir.path());
  fs::create_directories(root + "/unit/folder");
  std::ofstream(root + "/unit/text") << "value\n";
  std::ofstream(root + "/unit/large") << std::string(5000, 'x');
  fs::create_symlink("text", root + "/unit/link");
  ASSERT_EQ(mkfifo((root + "/unit/fifo").c_str(), 0644), 0);
  const std::pair<const char*, std::string> cases[] = {
      {"text", "value"},
      {"missing", "absent"},
      {"folder", "not a regular file"},
      {"link", "not a regular file"},
      {"fifo", "not a regular file"},
      {"large", "larger than an attribute"},
  };
  for (const auto resolution : {TreeAccess::Resolution::kKernel, TreeAccess::Resolution::kWalk}) {
    const auto reader = MakeTreeReader(root, resolution);
    for (const auto& [name, answer] : cases) {
      const Reading read = reader->ReadText(root + "/unit", name);
      const std::string got = !read.ok() ? std::string(read.status().reason())
                              : *read    ? **read
                                         : "absent";
      EXPECT_EQ(got, answer) << name;
      if (!read.ok()) {
        EXPECT_EQ(read.status().path(), root + "/unit/" + name);
      }
    }
    EXPECT_EQ(*reader->FirstNameIn(root, "unit"), "fifo");
    EXPECT_FALSE(reader->FirstNameIn(root + "/unit", "missing")->has_value());
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
