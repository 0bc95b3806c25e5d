// Applying new settings to the port named with -c, or printing that port when no settings were
// given.
#pragma once

#include "config/run.h"

namespace halvane {

RunOutcome HandlePortRequest(const ParsedOptions& options, Services& services);

}  // namespace halvane
