// The metrics service's run, --metrics -l --check: the listing's metrics and the verdict's gauges
// from one reading of the host, byte for byte what the two runs print apart, each SCSI device's
// state read once, and with --output the file replaced and nothing printed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

// Two ports, two LUNs on both, each held by a multipath map: four SCSI devices; then one path
// failed.
constexpr char kHealthy[] = "check-ports check-luns";
constexpr char kPathFailed[] = "check-ports check-luns check-path-failed";

TEST(ServiceRun, PrintsTheListingThenTheVerdictFromOneReading) {
  for (const char* host : {kHealthy, kPathFailed}) {
    for (const std::string port : {"", "10:00:00:90:FA:00:00:02"}) {
      SCOPED_TRACE(host + (" " + port));
      const testing::TempDir dir;
      const RunOptions live = testing::OnHost(host, dir.path() + "/sys");
      auto with = [&](std::vector<std::string> args) {
        if (!port.empty()) args.insert(args.end(), {"-c", port});
        return RunHalvane(args, live);
      };
      const auto listing = port.empty() ? with({"--metrics", "-l"}) : with({"--metrics"});
      const auto verdict = with({"--metrics", "--check"});
      const auto both = with({"--metrics", "-l", "--check"});
      EXPECT_EQ(both.out, listing.out + verdict.out);
      EXPECT_EQ(both.status, verdict.status);
      EXPECT_EQ(both.status, host == kPathFailed ? 1 : 0);
      EXPECT_EQ(both.err, "");
      // Into a file: the same bytes, nothing on standard output, and 0 for a file written.
      const std::string file = dir.path() + "/halvane.prom";
      const auto written = with({"--metrics", "-l", "--check", "--output", file});
      EXPECT_EQ(written.out + written.err, "");
      EXPECT_EQ(written.status, 0);
      EXPECT_EQ(testing::ReadFile(file), both.out);
    }
  }
}

// Each attribute is opened once for its data.
std::size_t StateOpens(const std::string& trace) {
  static const std::regex state(R"(openat2?\(\d+, "state", )");
  std::istringstream lines(trace);
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line);) count += std::regex_search(line, state);
  return count;
}

TEST(ServiceRun, ReadsEachDevicesStateOnce) {
  if (std::getenv("HALVANE_VALGRIND") != nullptr) GTEST_SKIP() << "strace would trace valgrind";
  if (testing::RunCommand("strace -V >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "strace is not installed";
  const testing::TempDir dir;
  RunOptions traced = testing::OnHost(kHealthy, dir.path() + "/sys");
  const std::string trace = dir.path() + "/trace";
  // LeakSanitizer cannot run under ptrace: a sanitizer build leaves leaks to the other tests here.
  traced.shell_prefix =
      "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"; exec strace -f -qq "
      "-e trace=openat -o " +
      trace + " \"$0\" \"$@\"";
  const auto run = RunHalvane({"--metrics", "-l", "--check"}, traced);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(StateOpens(testing::ReadFile(trace)), 4u);
}

}  // namespace
}  // namespace halvane
