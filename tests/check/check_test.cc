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

TEST(Check, VerdictsLiveAndFromASnapshotOfTheHost) {
  testing::TempDir dir;
  std::string documents, expositions;
  int n = 0;
  for (const auto& row : testing::Rows("check/verdicts.txt")) {
    ASSERT_EQ(row.size(), 5u);
    SCOPED_TRACE(row[0] + " | " + row[1]);
    const RunOptions live = testing::OnHost(row[0], dir.path() + "/host" + std::to_string(++n));
    const RunOptions replay = testing::WithRegistry(
        testing::Capture(live, dir.path() + "/" + std::to_string(n) + ".snapshot"));
    const int status = std::stoi(row[2]);
    std::string text;
    for (const char* form : {"", "--json", "--metrics"}) {
      std::vector<std::string> args = testing::Words(row[1]);
      args.push_back("--check");
      if (*form) args.push_back(form);
      const auto run = RunHalvane(args, live);
      EXPECT_EQ(run.status, status) << form;
      EXPECT_EQ(run.err, "") << form;
      const std::string suffix = *form == '\0' ? ".txt" : form[2] == 'j' ? ".json" : ".prom";
      for (const std::string& golden : testing::Words(row[4])) {
        if (golden.substr(golden.size() - suffix.size()) == suffix)
          testing::ExpectGolden(golden, run.out);
      }
      if (suffix == ".txt") {
        EXPECT_EQ(Findings(run.out), row[3]);
        text = run.out;
      } else if (suffix == ".json") {
        ExpectDocumentSaysWhatTheTextSays(text, run.out);
      }
      const std::string file = dir.Write(std::to_string(n) + suffix, run.out);
      if (suffix != ".txt") (suffix == ".json" ? documents : expositions) += " " + file;
      // Where the ports were looked for differs; the rest is the same, byte for byte.
      if (status == 3) continue;
      const auto again = RunHalvane(args, replay);
      EXPECT_EQ(again.out, run.out) << form;
      EXPECT_EQ(again.status, status) << form;
    }
  }
  testing::ExpectCheckersPass(
      testing::SchemaAndPromtool("halvane-check.schema.json", documents, expositions));
}

TEST(Check, AgainstABaselineLiveInEveryForm) {
  testing::TempDir dir;
  std::string documents, expositions;
  int n = 0;
  for (const auto& row : testing::Rows("check/baselines.txt")) {
    ASSERT_EQ(row.size(), 5u);
    SCOPED_TRACE(row[0] + " | " + row[1] + " | " + row[2]);
    const std::string at = dir.path() + "/" + std::to_string(++n);
    const std::string baseline =
        testing::Capture(testing::OnHost(row[0], at + "then"), at + ".good");
    const RunOptions live = testing::OnHost(row[1], at + "now");
    const int status = std::stoi(row[3]);
    for (const char* form : {"", "--json", "--metrics"}) {
      std::vector<std::string> args = testing::Words(row[2]);
      args.insert(args.end(), {"--check", "--baseline", baseline});
      if (*form) args.push_back(form);
      const auto run = RunHalvane(args, live);
      EXPECT_EQ(run.status, status) << form;
      EXPECT_EQ(run.err, "") << form;
      if (*form == '\0') {
        EXPECT_EQ(Findings(run.out), row[4]);
        EXPECT_NE(run.out.find(" (against " + baseline + ", taken on "), std::string::npos);
        // The environment names the same baseline for a service that cannot pass options.
        RunOptions service = live;
        service.env["HALVANE_BASELINE"] = baseline;
        args.erase(args.end() - 2, args.end());
        EXPECT_EQ(RunHalvane(args, service).out, run.out);
      } else {
        const std::string file = dir.Write(std::to_string(n) + form, run.out);
        (form[2] == 'j' ? documents : expositions) += " " + file;
      }
    }
  }
  testing::ExpectCheckersPass(
      testing::SchemaAndPromtool("halvane-check.schema.json", documents, expositions));
}

}  // namespace
}  // namespace halvane
