// The whole control flow of a run: one pass over the command line, left to right.
#pragma once

#include <ostream>

#include "config/run.h"
#include "host/fd_output.h"

namespace halvane {

// Options that stand alone act as they are parsed (-h, -v and -l end the run, -r sends its
// notification and parsing goes on); the others are validated at once and recorded, and the
// recorded port request is handled after the last option. --json is looked for before that pass,
// so that it changes the form of the reports wherever it stands. argv is argc texts, as main
// gets them.
RunOutcome RunCommandLine(int argc, char* argv[], Services& services);

// Whether the command line asks for a check run (--check anywhere on it), whose own failures end
// with UNKNOWN.
bool AsksForCheck(int argc, char* argv[]);
// Whether the command line asks for a comparison (--diff anywhere on it), whose own failures end
// with status 2, never the 1 of "something differs".
bool AsksForDiff(int argc, char* argv[]);

// Ends a run as the process ends it, and answers its exit status. A failure the run left to be
// told is told on err, in one line that escapes what the reason quotes (a key, a path), and what
// the run printed is dropped: it is not the whole of anything. Otherwise what the run printed goes
// out, and a write to standard output that failed, then or earlier, is told and fails the run.
int FinishRun(const RunOutcome& outcome, FdOutput& stdout_buffer, std::ostream& err);

// The short options, and the long options with the letters they stand for. Options that have
// only a long form stand for a code above every letter.
extern const char kShortOptions[];
struct LongOptionName {
  const char* name;
  int letter;
  bool takes_value;
};
extern const LongOptionName kLongOptionNames[];
extern const int kLongOptionCount;

}  // namespace halvane
