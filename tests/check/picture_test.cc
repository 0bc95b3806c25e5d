// The --dot picture of the hosts of tests/check/pictures.txt against its golden files, the same
// bytes from a snapshot of the host (how the option stands with the others, tests/cli/runs/ shows).
#include <gtest/gtest.h>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

TEST(Picture, GoldensLiveAndFromASnapshotOfTheHost) {
  testing::TempDir dir;
  int n = 0;
  for (const auto& row : testing::Rows("check/pictures.txt")) {
    ASSERT_EQ(row.size(), 3u);
    SCOPED_TRACE(row[0] + " | " + row[1]);
    const RunOptions live = testing::OnHost(row[0], dir.path() + "/host" + std::to_string(++n));
    const RunOptions replay = testing::WithRegistry(
        testing::Capture(live, dir.path() + "/" + std::to_string(n) + ".snapshot"));
    std::vector<std::string> args = testing::Words(row[1]);
    args.push_back("--dot");
    const auto run = RunHalvane(args, live);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    testing::ExpectGolden(row[2], run.out);
    // The title is the check's first line: the same verdict, though the picture leaves its
    // findings unsorted.
    args.back() = "--check";
    const std::string check = RunHalvane(args, live).out;
    const std::string title = check.substr(0, std::min(check.find(" | "), check.find('\n')));
    EXPECT_NE(run.out.find("label=\"" + title + "\"];\n"), std::string::npos) << title;
    args.back() = "--dot";
    EXPECT_EQ(RunHalvane(args, replay).out, run.out);
  }
}

// What a driver publishes is text of its own: it cannot end a label, start an escape of Graphviz's
// or an HTML tag, or make Graphviz warn.
TEST(Picture, DriverTextsAreEscapedForGraphviz) {
  testing::TempDir dir;
  std::string host = testing::ReadFile(testing::SourceDir() + "/examples/san.json");
  const std::string speed = "\"8 Gigabit\"";
  ASSERT_NE(host.find(speed), std::string::npos);
  host.replace(host.find(speed), speed.size(), R"("8 \"Giga\\bit\n<b>&\u0001\u00e9")");
  const std::string picture = dir.Write(
      "host.dot", RunHalvane({"--dot"}, testing::WithRegistry(dir.Write("host.json", host))).out);
  EXPECT_NE(testing::ReadFile(picture).find(R"(\n8 \"Giga\\bit\\x0a&lt;b&gt;&amp;\\x01)"
                                            "\xc3\xa9\""),
            std::string::npos);
  testing::ExpectCheckersPass({"{ dot -Tsvg " + picture + " >/dev/null; }"});
}

}  // namespace
}  // namespace halvane
