// The option pass run in-process: what reaches the driver, and the blocks of tests/cli/runs/
// that only parse options (the other blocks run the real binary).
#include "cli/front_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "cli/run_table.h"
#include "registry/vocabulary.h"
#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;

const std::string kPort = "00:11:22:33:44:55:66:77";

// In-process runs against an in-memory registry show exactly what a port's driver is given.
class FrontEndSettings : public ::testing::Test {
 protected:
  FrontEndSettings() {
    port_ = registry_.AddChild(
        registry_.SetRoot("Root"), "KestritUserSCSIParallelInterfaceController",
        {{"Controller Characteristics",
          Dict({{"Port World Wide Name", Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77})},
                {"SCSI Host Number", testing::Num(3)}})}});
  }

  MemoryRegistry registry_;
  MemoryRegistry::Node* port_;
  InProcessRun run_{registry_};
};

TEST_F(FrontEndSettings, TheLastValueOfEachSettingReachesTheDriverInOneWrite) {
  for (const auto& row : testing::Rows("cli/settings.txt")) {
    port_->received_settings.clear();
    EXPECT_EQ(run_.Run(testing::RunArguments(row.at(0), "")).ProcessExitStatus(), 0);
    ASSERT_EQ(port_->received_settings.size(), 1u) << row[0];
    EXPECT_EQ(port_->received_settings[0], testing::Properties(row.at(1))) << row[0];
  }
  EXPECT_EQ(run_.out.str(), "");
}

// The kernel's rescan comes once the settings are written, of the named port's host only, or
// before a listing, of every host; none for a command line refused, a dry run, or a run that is
// not root's. (Where the daemon's messages go out, tests/cli/runs/ shows.)
TEST_F(FrontEndSettings, RescansAfterTheSettingsOfTheirHostOnly) {
  std::size_t rescans_at_write = 99;
  registry_.SetDriver([&](MemoryRegistry::Node&, const Dictionary&) {
    rescans_at_write = run_.rescan.asked.size();
    return Status::Ok();
  });
  (void)run_.Run({"-c", kPort, "-r", "-s", "auto", "-r"});
  EXPECT_EQ(rescans_at_write, 0u);
  EXPECT_EQ(run_.rescan.asked, (std::vector<std::optional<std::uint64_t>>{3}));

  const std::vector<std::vector<std::string>> runs = {
      {"-r", "-c", "1"},
      {"-r", "-l"},
      {"-l", "-r"},
      {"-r"},
      {"-r", "--dry-run", "-c", kPort, "-t", "nport"}};
  const std::vector<std::optional<std::uint64_t>> every = {std::nullopt};
  const std::vector<std::vector<std::optional<std::uint64_t>>> rescans = {{}, every, {}, every, {}};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    run_.rescan.asked.clear();
    (void)run_.Run(runs[i]);
    EXPECT_EQ(run_.rescan.asked, rescans[i]) << i;
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
  MemoryRegistry registry;
  registry.SetRoot("Root");
  InProcessRun run(registry);
  run.Run({"-s", "bogus"});
  const std::string text = run.out.str();
  const std::string speed_line = text.substr(text.find("\t-c xx:xx:xx:xx:xx:xx:xx:xx -s"));
  const std::string refusal = text.substr(text.find("exitcode 3 - "));
  // A keyword stands as a word of its own in a list: "[1gigabit, ... auto]", "... or auto:".
  const auto lists = [](const std::string& line, const std::string& word) {
    return std::regex_search(line, std::regex(R"([ \[])" + word + R"([,\]:])"));
  };
  for (const SpeedKeyword& k : kSpeedKeywords) {
    EXPECT_TRUE(lists(speed_line.substr(0, speed_line.find('\n')), std::string(k.typed)))
        << k.typed;
    EXPECT_TRUE(lists(refusal.substr(0, refusal.find('\n')), std::string(k.typed))) << k.typed;
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
  std::vector<std::string> args;
  std::string out;
  int status = 0;
  for (const std::string& line : GetParam().lines) {
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "run") args = testing::RunArguments(value, "");
    if (key == "out") out = testing::ExpandRunText(value, "");
    if (key == "status") status = std::stoi(value);
  }
  MemoryRegistry registry;
  registry.SetRoot("Root");
  InProcessRun run(registry, ProcessUserIdentity().EffectiveUserId());
  EXPECT_EQ(run.Run(args).ProcessExitStatus(), status);
  EXPECT_EQ(run.out.str(), out);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionRuns, ::testing::ValuesIn(testing::RunTable(true)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvane
