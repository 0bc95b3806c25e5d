// The verdict of --check on the hosts of tests/check/verdicts.txt, and their --dot pictures: what
// each says, the same bytes from a snapshot of it, its document valid against the shipped schema,
// its metrics what Prometheus accepts, its picture what Graphviz draws without a warning.
// --diff over the change windows of tests/compare/diffs.txt: the capture against the live host
// after and against a capture of it, the same bytes from both, and every document valid against
// the shipped schema.
// The metrics service's run, --metrics -l --check: the listing's metrics and the verdict's gauges
// from one reading of the host, byte for byte what the two runs print apart, each SCSI device's
// state read once, and with --output the file replaced and nothing printed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "support/fake_sysfs.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

// "W:code C:code A:code": each finding line after the first, by its severity's first letter.
std::string Findings(const std::string& text) {
  static const std::regex finding("\n([A-Z])[A-Z]* ([a-z_]+):");
  std::string findings;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), finding);
       it != std::sregex_iterator(); ++it)
    findings.append(findings.empty() ? "" : " ").append((*it)[1].str() + ":" + (*it)[2].str());
  return findings;
}

// The document's summary and messages, in the order the text prints them, are the text's lines,
// escaped as it escapes them: a script that prints them prints no line of its own either.
void ExpectDocumentSaysWhatTheTextSays(const std::string& text, const std::string& document) {
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  const std::size_t from = line.find(" - ") + 3;
  std::vector<std::string> said = {line.substr(from, line.find(" | ") - from)};
  while (std::getline(lines, line)) said.push_back(line.substr(line.find(": ") + 2));
  const auto json = nlohmann::json::parse(document);
  std::vector<std::string> told = {json["summary"].get<std::string>()};
  for (const char* list : {"findings", "accepted"}) {
    for (const auto& finding : json[list]) told.push_back(finding["message"].get<std::string>());
  }
  EXPECT_EQ(told, said);
}

class Check : public ::testing::Test {
 protected:
  // Judges the live host built of the trees now, against a capture of the host built of the trees
  // then when there are any, in each form, and again from a capture of the host: its status, its
  // findings as Findings shows them, and the golden files of its forms.
  void Judge(const std::string& then, const std::string& now, const std::string& more, int status,
             const std::string& findings, const std::string& goldens) {
    SCOPED_TRACE(then + " | " + now + " | " + more);
    const std::string at = dir_.path() + "/" + std::to_string(++n_);
    const RunOptions live = testing::OnHost(now, at + "now");
    const RunOptions replay = testing::WithRegistry(testing::Capture(live, at + ".snapshot"));
    std::vector<std::string> args = testing::Words(more);
    args.push_back("--check");
    if (!then.empty())
      args.insert(args.end(), {"--baseline",
                               testing::Capture(testing::OnHost(then, at + "then"), at + ".good")});
    std::string text;
    for (const std::string suffix : {".txt", ".json", ".prom", ".dot"}) {
      std::vector<std::string> with = args;
      if (suffix == ".json") with.push_back("--json");
      if (suffix == ".prom") with.push_back("--metrics");
      // The picture takes the place of --check, whose verdict colours it; it takes no baseline.
      if (suffix == ".dot" && !then.empty()) continue;
      if (suffix == ".dot") with.back() = "--dot";
      const auto run = RunHalvane(with, live);
      EXPECT_EQ(run.status, suffix == ".dot" ? 0 : status) << suffix;
      EXPECT_EQ(run.err, "") << suffix;
      for (const std::string& golden : testing::Words(goldens)) {
        if (golden.ends_with(suffix)) testing::ExpectGolden(golden, run.out);
      }
      if (suffix == ".txt") {
        EXPECT_EQ(Findings(run.out), findings);
        text = run.out;
      } else {
        if (suffix == ".json") ExpectDocumentSaysWhatTheTextSays(text, run.out);
        // The picture's title is the check's first line: the same verdict, though the picture
        // leaves its findings unsorted.
        if (suffix == ".dot") {
          const std::string title = text.substr(0, std::min(text.find(" | "), text.find('\n')));
          EXPECT_NE(run.out.find("label=\"" + title + "\"];\n"), std::string::npos) << title;
        }
        outputs_[suffix].append(" ").append(dir_.Write(std::to_string(n_) + suffix, run.out));
      }
      if (suffix == ".prom" && then.empty()) ExpectServiceRun(more, with, live, run.out, status);
      // Where the ports were looked for differs; the rest is the same, byte for byte.
      if (status == 3) continue;
      const auto again = RunHalvane(with, replay);
      EXPECT_EQ(again.out, run.out) << suffix;
      EXPECT_EQ(again.status, run.status) << suffix;
    }
    if (then.empty()) return;
    EXPECT_NE(text.find(" (against " + args.back() + ", taken on "), std::string::npos);
    // The environment names the same baseline for a service that cannot pass options.
    RunOptions service = live;
    service.env["HALVANE_BASELINE"] = args.back();
    args.erase(args.end() - 2, args.end());
    EXPECT_EQ(RunHalvane(args, service).out, text);
  }
  // The metrics service's run, --metrics -l --check: the listing's metrics, then the verdict's,
  // from one reading of the host; into a file, the same bytes, nothing printed, and 0 for a file
  // written.
  void ExpectServiceRun(const std::string& more, std::vector<std::string> both,
                        const RunOptions& live, const std::string& verdict, int status) {
    std::vector<std::string> listing = testing::Words(more.rfind("-c", 0) == 0 ? more : "");
    listing.push_back("--metrics");
    if (listing.size() == 1) listing.push_back("-l");
    both.push_back("-l");
    const auto service = RunHalvane(both, live);
    EXPECT_EQ(service.out, RunHalvane(listing, live).out + verdict);
    EXPECT_EQ(service.err, "");
    EXPECT_EQ(service.status, status);
    both.insert(both.end(), {"--output", dir_.path() + "/service.prom"});
    const auto written = RunHalvane(both, live);
    EXPECT_EQ(written.out + written.err + std::to_string(written.status), "0");
    EXPECT_EQ(testing::ReadFile(dir_.path() + "/service.prom"), service.out);
  }
  void ExpectOutputsTaken() {
    std::vector<std::string> checks = testing::SchemaAndPromtool(
        "halvane-check.schema.json", outputs_[".json"], outputs_[".prom"]);
    // Graphviz writes every graph to its standard output, and only its warnings are kept.
    checks.push_back("{ dot -Tsvg" + outputs_[".dot"] + " >/dev/null; }");
    testing::ExpectCheckersPass(checks);
  }

  testing::TempDir dir_;
  std::map<std::string, std::string> outputs_;  // the files of each form, by suffix
  int n_ = 0;
};

TEST_F(Check, VerdictsLiveAndFromASnapshotOfTheHost) {
  for (const auto& row : testing::Rows("check/verdicts.txt")) {
    ASSERT_EQ(row.size(), 5u);
    Judge("", row[0], row[1], std::stoi(row[2]), row[3], row[4]);
  }
  ExpectOutputsTaken();
}

TEST_F(Check, AgainstABaselineLiveInEveryForm) {
  for (const auto& row : testing::Rows("check/baselines.txt")) {
    ASSERT_EQ(row.size(), 5u);
    Judge(row[0], row[1], row[2], std::stoi(row[3]), row[4], "");
  }
  ExpectOutputsTaken();
}

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

// Two ports, two LUNs on both, each held by a multipath map: four SCSI devices, each one's state
// opened once for its data.
TEST(ServiceRun, ReadsEachDevicesStateOnce) {
  if (std::getenv("HALVANE_VALGRIND") != nullptr) GTEST_SKIP() << "strace would trace valgrind";
  if (testing::RunCommand("strace -V >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "strace is not installed";
  const testing::TempDir dir;
  RunOptions traced = testing::OnHost("check-ports check-luns", dir.path() + "/sys");
  const std::string trace = dir.path() + "/trace";
  // LeakSanitizer cannot run under ptrace: a sanitizer build leaves leaks to the other tests here.
  traced.shell_prefix =
      "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"; exec strace -f -qq "
      "-e trace=openat -o " +
      trace + " \"$0\" \"$@\"";
  const auto run = RunHalvane({"--metrics", "-l", "--check"}, traced);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string opens = testing::ReadFile(trace);
  const std::regex state(R"(openat2?\(\d+, "state", )");
  EXPECT_EQ(std::distance(std::sregex_iterator(opens.begin(), opens.end(), state), {}), 4);
}

}  // namespace
}  // namespace halvane
