// The port named with -c, printed: its block, its part of the inventory document, or its metrics;
// and what to type instead of a name no port has.
#pragma once

#include <string>

#include "config/run.h"

namespace halvane {

// Printing a port never changes the exit status: a port that is not there, or one that cannot be
// read whole, prints what there is to print.
RunOutcome PrintPort(const std::string& wwn, const ParsedOptions& options, Services& services,
                     DeviceRegistry& registry);

// Says on standard error that no port has the name typed, and what to type instead: the name of
// the same bytes as port names are written, when a port has it.
void SayNotFound(Services& services, DeviceRegistry& registry, const std::string& wwn);

}  // namespace halvane
