// Printing controller ports: the first section of the full listing, and the block of one port.
#pragma once

#include <ostream>

#include "registry/device_registry.h"

namespace halvane {

// One block per controller port, in registry order. Answers the discovery status when discovery
// fails, otherwise the status of the last port's block, or ok when there is no port.
Status PrintControllerSection(DeviceRegistry& registry, std::ostream& out);

// The block of one port; answers the status of building its record, and prints nothing when
// that fails.
Status PrintPortBlock(DeviceRegistry& registry, const RegistryEntry& entry, std::ostream& out);

}  // namespace halvane
