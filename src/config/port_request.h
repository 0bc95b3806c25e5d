// Applying new settings to the port named with -c, or printing that port when no settings were
// given.
#pragma once

#include "config/run.h"

namespace halvane {

inline constexpr char kNotRootMessage[] = "You must be running as root to modify settings...";
inline constexpr char kPortNotFoundMessage[] = "Specified Port World Wide Name not found.";

RunOutcome HandlePortRequest(const ParsedOptions& options, Services& services);

}  // namespace halvane
