// The tables of runs in tests/cli/runs/: blocks apart by a blank line, each run of the binary a
// test case of its own, named by its table and the block's first line. A block that only gives
// arguments and what the run prints (lines run, out and status) needs nothing of the host: the unit
// tests run it in-process; every other block starts the binary (tests/cli/runs_test.cc).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace halvane::testing {

struct RunBlock {
  std::string name;  // the table, the first line and its line number, as a test name
  std::vector<std::string> lines;
  bool options_only = false;
};

// The blocks that only parse options, or the others.
std::vector<RunBlock> RunTable(bool options_only);
// How a failing case names its block.
void PrintTo(const RunBlock& block, std::ostream* out);

// A block line's text with C escapes (\s is a space), {dir} for dir, {usage} for the usage text
// and {version} for the version; "@FILE" as the whole text is a file under tests/.
std::string ExpandRunText(const std::string& text, const std::string& dir);

// The arguments of a run line, split at spaces, each expanded.
std::vector<std::string> RunArguments(const std::string& words, const std::string& dir);

}  // namespace halvane::testing
