// The verdict against a baseline (--check --baseline): a capture of the host when it was known to
// be good, and what the host has lost since, which the verdict on the host as it is cannot see (a
// LUN unmapped by mistake is no longer there to judge; one designed with four paths and down to
// two still counts as redundant).
#pragma once

#include <string>

#include "check/findings.h"
#include "check/judge.h"
#include "compare/host_model.h"
#include "registry/device_registry.h"

namespace halvane {

// Adds to verdict what now has lost against before, and concludes it again: lun_missing for a
// LUN or namespace the baseline reached that has no path at all now, lun_paths_lost and
// namespace_paths_lost for fewer usable paths, ports or fabrics, port_missing,
// remote_port_missing and map_missing for what is gone. The WWIDs the scope accepts make theirs
// accepted; with a port in scope, only what reached through port_name in the baseline is judged.
void JudgeModels(const HostModel& before, const HostModel& now, const CheckScope& scope,
                 const std::string& port_name, Verdict* verdict);

// The verdict against the capture in the file baseline, as JudgeModels says, of a verdict that
// judged something; UNKNOWN, with why, when the capture cannot be read. Its summary ends with
// what it was judged against.
void JudgeAgainstBaseline(DeviceRegistry& registry, const std::string& baseline,
                          const CheckScope& scope, Verdict* verdict);

}  // namespace halvane
