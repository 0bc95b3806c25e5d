// Replacing a file in one step where someone else may write its folder or its folder's parent:
// nothing planted is followed, and the folder opened is the one written (what a refused path or a
// failed write leaves, the --output blocks of tests/cli/runs/check-runs.txt show).
#include "base/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_sysfs.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A folder "out" holding the last good file, and beside it a file only its owner may read.
struct Setting {
  testing::TempDir dir;
  std::string out = dir.path() + "/out";
  std::string file = out + "/halvane.prom";
  std::string secret = dir.Write("secret", "root only\n");
  Setting() {
    fs::create_directory(out);
    chmod(secret.c_str(), 0600);
    testing::WriteFile(file, "old\n");
  }
  void ExpectSecretUntouched() const {
    EXPECT_EQ(testing::ReadFile(secret), "root only\n");
    EXPECT_EQ(fs::status(secret).permissions(), fs::perms(0600));
  }
};

TEST(ReplacedFile, NeverOpensALinkPlantedAtTheTemporaryName) {
  for (const bool every_name : {false, true}) {
    SCOPED_TRACE(every_name ? "every name planted" : "the first name planted");
    Setting s;
    ASSERT_EQ(symlink("../secret", (s.out + "/planted").c_str()), 0);
    int calls = 0;
    StatusOr<ReplacedFile> file = ReplacedFile::Open(s.file, [&](std::string_view) {
      return every_name || calls++ == 0 ? std::string("planted") : std::string("fresh");
    });
    ASSERT_TRUE(file.ok());
    const Status replaced = file->Replace("new\n", 0644);
    s.ExpectSecretUntouched();
    EXPECT_EQ(replaced.ok(), !every_name) << replaced.message();
    EXPECT_EQ(testing::ReadFile(s.file), every_name ? "old\n" : "new\n");
    EXPECT_EQ(Names(s.out), (std::vector<std::string>{"halvane.prom", "planted"}));
  }
}

// The whole file, readable by all whatever the umask, and nothing else, in the folder opened,
// whatever the path leads to later.
TEST(ReplacedFile, WritesTheWholeFileInTheFolderItOpened) {
  Setting s;
  StatusOr<ReplacedFile> file = ReplacedFile::Open(s.file);
  ASSERT_TRUE(file.ok()) << file.status().message();
  // The folder's parent is someone else's: the folder is moved aside and another put in its
  // place, with a link at the file's name.
  fs::rename(s.out, s.dir.path() + "/aside");
  fs::create_directory(s.out);
  ASSERT_EQ(symlink("../secret", s.file.c_str()), 0);
  const mode_t before = umask(077);
  const Status replaced = file->Replace("new\n", 0644);
  umask(before);
  ASSERT_TRUE(replaced.ok()) << replaced.message();
  s.ExpectSecretUntouched();
  const std::string written = s.dir.path() + "/aside/halvane.prom";
  EXPECT_EQ(testing::ReadFile(written), "new\n");
  EXPECT_EQ(fs::status(written).permissions(), fs::perms(0644));
  EXPECT_EQ(Names(s.dir.path() + "/aside"), std::vector<std::string>{"halvane.prom"});
  EXPECT_EQ(Names(s.out), std::vector<std::string>{"halvane.prom"});
  EXPECT_TRUE(fs::is_symlink(s.file));
}

}  // namespace
}  // namespace halvane
