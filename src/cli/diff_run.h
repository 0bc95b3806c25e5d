// --diff: the run that compares a capture with the host this run reads.
#pragma once

#include <string>

#include "config/run.h"

namespace halvane {

// A comparison that says nothing differs ends with 0 and one that finds a difference with 1, as
// diff(1) does; a side that cannot be read, or output that cannot be written, with 2.
inline constexpr int kExitDiffTrouble = 2;

// A comparison that could not be made, for why: status 2, and why told as the run ends.
RunOutcome DiffTrouble(Status why);

// Compares the snapshot file before with the run's registry and prints the differences, as text
// or, with json, as the document halvane-diff/1. The capture is read and let go before the host
// is, so the run holds one registry at a time.
RunOutcome RunDiff(Services& services, const std::string& before, bool json);

}  // namespace halvane
