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
    BuildTree("kernel-fcoe", dir.path() + "/sys");
    RunOptions live;
    live.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/sys";
    const std::string good = dir.Write("good.json", RunHalvane({"--snapshot"}, live).out);
    ASSERT_EQ(chmod((dir.path() + "/sys/" + path).c_str(), 0), 0) << path;
    live.as_uid = kNobody;
    // Against a capture of the host when all of it could be read, what cannot be read now is
    // trouble, not a change: named, and status 2.
    const RunResult diff = RunHalvane({"--diff", good}, live);
    EXPECT_EQ(diff.status, 2) << path << ": " << diff.out;
    EXPECT_NE(diff.err.find("cannot read " + dir.path() + "/sys/"), std::string::npos) << diff.err;
    const RunResult captured = RunHalvane({"--snapshot"}, live);
    ASSERT_EQ(captured.status, 0) << path << ": " << captured.err;
    const RunOptions replay = WithRegistry(dir.Write("capture.json", captured.out));
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
  const std::string validate =
      "python3 " + SourceDir() + "/tests/support/validate_inventory.py " + SourceDir() + "/doc/";
  std::vector<CommandResult> checks = {
      RunCommand(validate + "halvane-inventory.schema.json" + inventories + " 2>&1"),
      RunCommand(validate + "halvane-check.schema.json" + verdicts + " 2>&1")};
  for (const std::string& file : Words(expositions))
    checks.push_back(RunCommand("promtool check metrics < " + file + " 2>&1"));
  for (const CommandResult& checked : checks) {
    if (CheckerMissing(checked)) GTEST_SKIP() << checked.out;
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_EQ(checked.out, "");
  }
}

}  // namespace
}  // namespace halvane::testing
