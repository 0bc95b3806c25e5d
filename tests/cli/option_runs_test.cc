// The blocks of tests/cli/runs.txt that only parse options, run in-process over an empty
// registry: what the binary prints for them is what the front end prints.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/front_end.h"
#include "cli/run_table.h"
#include "registry/memory_registry.h"
#include "support/twins.h"

namespace halvane::testing {
namespace {

class OptionRuns : public ::testing::TestWithParam<RunBlock> {};

TEST_P(OptionRuns, PrintAndEndAsTheTableSays) {
  std::vector<std::string> args = {"halvane"};
  std::string out;
  int status = 0;
  for (const std::string& line : GetParam().lines) {
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "run") {
      for (std::string& arg : RunArguments(value, "")) args.push_back(std::move(arg));
    } else if (key == "out") {
      out = ExpandRunText(value, "");
    } else {
      status = std::stoi(value);
    }
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  MemoryRegistry registry;
  registry.SetRoot("Root");
  RecordingMessagePorts ports;
  RecordingHostRescan rescan;
  std::ostringstream printed;
  std::ostringstream errors;
  Services services{registry, ProcessUserIdentity(), ports, printed, errors, rescan};
  const RunOutcome outcome = RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
  EXPECT_EQ(printed.str(), out);
  EXPECT_EQ(outcome.ProcessExitStatus(), status);
}

std::vector<RunBlock> OptionBlocks() {
  std::vector<RunBlock> blocks;
  for (RunBlock& block : RunTable()) {
    if (block.options_only) blocks.push_back(std::move(block));
  }
  return blocks;
}

INSTANTIATE_TEST_SUITE_P(Table, OptionRuns, ::testing::ValuesIn(OptionBlocks()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvane::testing
