// --diff over the change windows of tests/compare/diffs.txt: the capture against the live host
// after and against a capture of it, the same bytes from both, and every document valid against
// the shipped schema.
#include <gtest/gtest.h>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

std::string Swapped(std::string text, const std::vector<std::string>& names) {
  if (names.size() != 2) return text;
  // (Appended, not "\"" + text: GCC 12 misreads that concatenation as an overlapping copy.)
  const auto quote = [](const std::string& name) { return std::string(1, '"').append(name) + '"'; };
  const auto replace = [&](const std::string& from, const std::string& to) {
    const std::string quoted = quote(from);
    for (std::size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at))
      text.replace(at, quoted.size(), quote(to));
  };
  replace(names[0], "\x01");
  replace(names[1], names[0]);
  replace("\x01", names[1]);
  return text;
}

// The live host built of trees, in dir under name, captured at a fixed time.
RunOptions Host(const testing::TempDir& dir, const std::string& name, const std::string& trees) {
  RunOptions live = testing::OnHost(trees, dir.path() + "/" + name);
  live.env["SOURCE_DATE_EPOCH"] = "1765310400";
  return live;
}

TEST(Diff, ChangeWindowsLiveAndFromACapture) {
  testing::TempDir dir;
  std::string documents;
  int n = 0;
  for (const auto& row : testing::Rows("compare/diffs.txt")) {
    ASSERT_EQ(row.size(), 6u);
    SCOPED_TRACE(row[0] + " | " + row[1]);
    const std::string prefix = std::to_string(++n);
    testing::Capture(Host(dir, prefix + "/a", row[0]), dir.path() + "/" + prefix + "/before.json");
    RunOptions after_live = Host(dir, prefix + "/b", row[1]);
    const std::vector<std::string> swap = testing::Words(row[2]);
    const std::string after = Swapped(
        testing::ReadFile(testing::Capture(after_live, dir.path() + "/" + prefix + "/after.json")),
        swap);
    RunOptions replay = testing::WithRegistry(dir.Write(prefix + "/after.json", after));
    // Each row in a folder of its own, so that every summary names before.json.
    replay.shell_prefix = after_live.shell_prefix = "cd " + dir.path() + "/" + prefix;
    std::vector<RunOptions> sides = {replay};
    if (swap.empty()) sides.push_back(after_live);
    const int status = std::stoi(row[3]);
    std::string first;
    for (const RunOptions& side : sides) {
      const auto run = RunHalvane({"--diff", "before.json"}, side);
      EXPECT_EQ(run.status, status);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.out.substr(0, run.out.find(" (against ")), row[4]);
      if (status == 0) {
        EXPECT_EQ(run.out, row[4] + " (against before.json, taken at 2025-12-09T20:00:00Z)\n");
      }
      if (first.empty()) first = run.out;
      EXPECT_EQ(run.out, first) << "the live host and its capture differ";
      const auto json = RunHalvane({"--json", "--diff", "before.json"}, side);
      EXPECT_EQ(json.status, status);
      const std::string name = prefix + "/" + std::to_string(documents.size()) + ".json";
      documents.append(" ").append(dir.Write(name, json.out));
    }
    if (!row[5].empty()) testing::ExpectGolden(row[5], first);
  }
  testing::ExpectCheckersPass(testing::SchemaAndPromtool("halvane-diff.schema.json", documents));
}

}  // namespace
}  // namespace halvane
