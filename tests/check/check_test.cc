// The verdict of --check on the hosts of tests/check/verdicts.txt, and their --dot pictures: what
// each says, the same bytes from a snapshot of it, its document valid against the shipped schema,
// its metrics what Prometheus accepts, its picture what Graphviz draws without a warning.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

// "W:code C:code A:code": each finding line after the first, by its severity's first letter.
std::string Findings(const std::string& text) {
  std::istringstream lines(text);
  std::string line, findings;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (!findings.empty()) findings += ' ';
    findings.append(1, line[0]).append(1, ':');
    findings.append(line, space + 1, line.find(':') - space - 1);
  }
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

}  // namespace
}  // namespace halvane
