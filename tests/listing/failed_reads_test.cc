// A host with a read that fails, captured as a user who cannot read it: the capture carries each
// failure, and every output of the replay says what the live run says, with the same status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane::testing {
namespace {

constexpr int kNobody = 65534;

TEST(FailedReads, ACaptureReplaysThemWithTheSameOutputsAndStatuses) {
  if (geteuid() != 0) GTEST_SKIP() << "runs as another user, which needs root";
  // A host's folder listing, a port's state, a LUN's state, a map's name.
  const char* unreadable[] = {
      "class/fc_host",
      "devices/virtual/net/i0/ctlr_0/host0/fc_host/host0/port_state",
      "devices/virtual/net/i0/ctlr_0/host0/rport-0:0-0/target0:0:0/0:0:0:1/state",
      "devices/virtual/block/dm-0/dm/name",
  };
  const std::vector<std::vector<std::string>> runs = {
      {"-l"}, {"--json", "-l"}, {"--metrics", "-l"}, {"--check"}, {"--json", "--check"}};
  // Each partial output is still one its consumers take: documents against their schemas,
  // metrics through promtool.
  TempDir kept;
  std::string inventories, verdicts, expositions;
  int written = 0;
  const auto keep = [&](const std::vector<std::string>& args, const std::string& out) {
    const std::string file = kept.Write(std::to_string(written++), out);
    if (args == std::vector<std::string>{"--json", "-l"}) inventories += " " + file;
    if (args == std::vector<std::string>{"--json", "--check"}) verdicts += " " + file;
    if (args == std::vector<std::string>{"--metrics", "-l"}) expositions += " " + file;
  };
  for (const char* path : unreadable) {
    TempDir dir;
    RunOptions live = OnHost("kernel-fcoe", dir.path() + "/sys");
    const std::string good = Capture(live, dir.path() + "/good.json");
    ASSERT_EQ(chmod((dir.path() + "/sys/" + path).c_str(), 0), 0) << path;
    live.as_uid = kNobody;
    // Against a capture of the host when all of it could be read, what cannot be read now is
    // trouble, not a change: named, and status 2.
    const RunResult diff = RunHalvane({"--diff", good}, live);
    EXPECT_EQ(diff.status, 2) << path << ": " << diff.out;
    EXPECT_NE(diff.err.find("cannot read " + dir.path() + "/sys/"), std::string::npos) << diff.err;
    const RunOptions replay = WithRegistry(Capture(live, dir.path() + "/capture.json"));
    for (const auto& args : runs) {
      const RunResult was = RunHalvane(args, live), again = RunHalvane(args, replay);
      EXPECT_EQ(again.out, was.out) << path << " " << args[0];
      EXPECT_EQ(again.err, was.err) << path << " " << args[0];
      EXPECT_EQ(again.status, was.status) << path << " " << args[0];
      // No output passes the failure for absence.
      EXPECT_NE(was.out + was.err, "") << path;
      if (args.size() == 2 && args[1] == "-l") {
        EXPECT_EQ(was.status, 74) << path << " " << args[0];
      }
      keep(args, was.out);
    }
  }
  std::vector<std::string> checks =
      SchemaAndPromtool("halvane-inventory.schema.json", inventories, expositions);
  checks.push_back(SchemaAndPromtool("halvane-check.schema.json", verdicts)[0]);
  ExpectCheckersPass(checks);
}

}  // namespace
}  // namespace halvane::testing
