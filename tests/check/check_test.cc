// The verdict of --check on the hosts of tests/check/verdicts.txt: what each says, the same bytes
// from a snapshot of it, its document valid against the shipped schema, its metrics what
// Prometheus accepts.
#include <gtest/gtest.h>

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
    for (const char* form : {"", "--json", "--metrics"}) {
      std::vector<std::string> with = args;
      if (*form) with.push_back(form);
      const auto run = RunHalvane(with, live);
      EXPECT_EQ(run.status, status) << form;
      EXPECT_EQ(run.err, "") << form;
      const std::string suffix = *form == '\0' ? ".txt" : form[2] == 'j' ? ".json" : ".prom";
      for (const std::string& golden : testing::Words(goldens)) {
        if (golden.substr(golden.size() - suffix.size()) == suffix)
          testing::ExpectGolden(golden, run.out);
      }
      if (suffix == ".txt") {
        EXPECT_EQ(Findings(run.out), findings);
        text = run.out;
      } else {
        if (suffix == ".json") ExpectDocumentSaysWhatTheTextSays(text, run.out);
        (suffix == ".json" ? documents_ : expositions_)
            .append(" ")
            .append(dir_.Write(std::to_string(n_) + suffix, run.out));
      }
      // Where the ports were looked for differs; the rest is the same, byte for byte.
      if (status == 3) continue;
      const auto again = RunHalvane(with, replay);
      EXPECT_EQ(again.out, run.out) << form;
      EXPECT_EQ(again.status, status) << form;
    }
    if (then.empty()) return;
    EXPECT_NE(text.find(" (against " + args.back() + ", taken on "), std::string::npos);
    // The environment names the same baseline for a service that cannot pass options.
    RunOptions service = live;
    service.env["HALVANE_BASELINE"] = args.back();
    args.erase(args.end() - 2, args.end());
    EXPECT_EQ(RunHalvane(args, service).out, text);
  }
  void ExpectDocumentsAndMetricsTaken() {
    testing::ExpectCheckersPass(
        testing::SchemaAndPromtool("halvane-check.schema.json", documents_, expositions_));
  }

  testing::TempDir dir_;
  std::string documents_, expositions_;
  int n_ = 0;
};

TEST_F(Check, VerdictsLiveAndFromASnapshotOfTheHost) {
  for (const auto& row : testing::Rows("check/verdicts.txt")) {
    ASSERT_EQ(row.size(), 5u);
    Judge("", row[0], row[1], std::stoi(row[2]), row[3], row[4]);
  }
  ExpectDocumentsAndMetricsTaken();
}

TEST_F(Check, AgainstABaselineLiveInEveryForm) {
  for (const auto& row : testing::Rows("check/baselines.txt")) {
    ASSERT_EQ(row.size(), 5u);
    Judge(row[0], row[1], row[2], std::stoi(row[3]), row[4], "");
  }
  ExpectDocumentsAndMetricsTaken();
}

}  // namespace
}  // namespace halvane
