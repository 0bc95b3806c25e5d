// The option pass run in-process: what reaches the driver, and the blocks of tests/cli/runs/
// that only parse options (the other blocks run the real binary).
#include "cli/front_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "cli/run_table.h"
#include "registry/vocabulary.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

const std::string kPort = "00:11:22:33:44:55:66:77";

// In-process runs against a snapshot's registry show exactly what a port's driver is given.
class FrontEndSettings : public ::testing::Test {
 protected:
  TwinRegistry registry_{testing::HostText(testing::PortEntry(
      R"({"Port World Wide Name": {"$data": "00:11:22:33:44:55:66:77"}, "SCSI Host Number": 3})"))};
  InProcessRun run_{registry_};
};

TEST_F(FrontEndSettings, TheLastValueOfEachSettingReachesTheDriverInOneWrite) {
  std::vector<Dictionary> received;
  registry_.on_write = [&](const Dictionary& settings) { received.push_back(settings); };
  for (const auto& row : testing::Rows("cli/settings.txt")) {
    received.clear();
    EXPECT_EQ(run_.Run(testing::RunArguments(row.at(0), "")).ProcessExitStatus(), 0);
    ASSERT_EQ(received.size(), 1u) << row[0];
    EXPECT_EQ(received[0], testing::Properties(row.at(1))) << row[0];
  }
  EXPECT_EQ(run_.out.str(), "");
}

// The kernel's rescan comes once the settings are written, of the named port's host only, or
// before a listing, of every host; none for a command line refused, a dry run, or a run that is
// not root's. (Where the daemon's messages go out, tests/cli/runs/ shows.)
TEST_F(FrontEndSettings, RescansAfterTheSettingsOfTheirHostOnly) {
  std::size_t rescans_at_write = 99;
  registry_.on_write = [&](const Dictionary&) { rescans_at_write = run_.rescan.asked.size(); };
  (void)run_.Run({"-c", kPort, "-r", "-s", "auto", "-r"});
  EXPECT_EQ(rescans_at_write, 0u);
  EXPECT_EQ(run_.rescan.asked, (std::vector<std::optional<std::uint64_t>>{3}));

  // Each run, and whether it rescans every host.
  const std::pair<std::vector<std::string>, bool> runs[] = {
      {{"-r", "-c", "1"}, false},
      {{"-r", "-l"}, true},
      {{"-l", "-r"}, false},
      {{"-r"}, true},
      {{"-r", "--dry-run", "-c", kPort, "-t", "nport"}, false}};
  for (const auto& [args, every] : runs) {
    run_.rescan.asked.clear();
    (void)run_.Run(args);
    EXPECT_EQ(run_.rescan.asked, std::vector<std::optional<std::uint64_t>>(every, std::nullopt))
        << args[1];
  }
  InProcessRun user(registry_, 1000);
  (void)user.Run({"-r", "-c", kPort, "-s", "auto"});
  EXPECT_TRUE(user.rescan.asked.empty());
}

// How the process ends a run: a failure the run left to be told is one escaped line, and nothing
// the run printed goes out; otherwise all of it does.
TEST(FinishRun, AFailureDropsWhatWasPrinted) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  FdOutput buffer(ends[1], 64);
  std::ostream out(&buffer);
  std::ostringstream err;
  out << "\nControllers\n\n";
  const Status unreadable = Status::Error(kIoError, "host.json: the key \"\x1b\" appears twice");
  EXPECT_EQ(FinishRun(RunOutcome::Failed(unreadable), buffer, err), kExitFailure);
  EXPECT_EQ(err.str(), "halvane: host.json: the key \"\\x1b\" appears twice\n");
  out << "listed\n";
  EXPECT_EQ(FinishRun(RunOutcome::Exit(kExitPortNotFound), buffer, err), kExitPortNotFound);
  char bytes[64];
  EXPECT_EQ(std::string(bytes, std::max<ssize_t>(0, read(ends[0], bytes, sizeof bytes))),
            "listed\n");
  close(ends[0]);
  close(ends[1]);
}

// The help and the refusal of a speed tell the truth about what is accepted: every keyword the
// option pass takes, and an entry for every option that has only a long form.
TEST(Help, NamesEverySpeedAndEveryLongOnlyOption) {
  TwinRegistry registry(testing::HostText(""));
  InProcessRun run(registry);
  run.Run({"-s", "bogus"});
  const std::string text = run.out.str();
  // A keyword stands as a word of its own in the list of the line that starts with start:
  // "[1gigabit, ... auto]", "... or auto:".
  const auto lists = [&text](const std::string& start, std::string_view word) {
    const std::string line = text.substr(text.find(start));
    return std::regex_search(line.substr(0, line.find('\n')),
                             std::regex(R"([ \[])" + std::string(word) + R"([,\]:])"));
  };
  for (const SpeedKeyword& k : kSpeedKeywords) {
    EXPECT_TRUE(lists("\t-c xx:xx:xx:xx:xx:xx:xx:xx -s", k.typed)) << k.typed;
    EXPECT_TRUE(lists("exitcode 3 - ", k.typed)) << k.typed;
  }
  for (int i = 0; i < kLongOptionCount; ++i) {
    if (kLongOptionNames[i].letter <= 0xFF) continue;
    EXPECT_NE(text.find(std::string("\t--") + kLongOptionNames[i].name + " "), std::string::npos)
        << kLongOptionNames[i].name;
  }
}

class OptionRuns : public ::testing::TestWithParam<testing::RunBlock> {};

// Over an empty registry, as the binary runs them, as whatever user runs the tests.
TEST_P(OptionRuns, PrintAndEndAsTheTableSays) {
  std::map<std::string, std::string> block = {{"status", "0"}};
  for (const std::string& line : GetParam().lines) {
    const std::size_t space = std::min(line.find(' '), line.size());
    block[line.substr(0, space)] = line.substr(std::min(space + 1, line.size()));
  }
  TwinRegistry registry(testing::HostText(""));
  InProcessRun run(registry, ProcessUserIdentity().EffectiveUserId());
  EXPECT_EQ(run.Run(testing::RunArguments(block["run"], "")).ProcessExitStatus(),
            std::stoi(block["status"]));
  EXPECT_EQ(run.out.str(), testing::ExpandRunText(block["out"], ""));
}

INSTANTIATE_TEST_SUITE_P(Table, OptionRuns, ::testing::ValuesIn(testing::RunTable(true)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvane
