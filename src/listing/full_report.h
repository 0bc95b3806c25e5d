// The full listing of -l: the controller section, then every Fibre Channel controller's node
// WWN, targets and logical units, and the NVMe controllers it reaches with their namespaces.
#pragma once

#include <ostream>

#include "listing/target_walk.h"

namespace halvane {

// The listing ends after the controller section when that section fails (discovery failed, or
// the last port has no record).
void PrintFullReport(DeviceRegistry& registry, std::ostream& out);
// The target section: nothing at all when the controllers cannot be listed.
void PrintTargetSection(DeviceRegistry& registry, std::ostream& out);
void PrintLunBlock(const LunView& unit, std::ostream& out);

}  // namespace halvane
