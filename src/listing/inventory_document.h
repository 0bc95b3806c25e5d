// The inventory as one JSON document, for scripts: the same ports, targets and logical units as
// the text reports, as typed data, plus what the live host publishes that the text leaves out.
// The layout is versioned by its "schema" member and described by
// doc/halvane-inventory.schema.json; within one version members are only ever added.
#pragma once

#include <ostream>

#include "registry/device_registry.h"

namespace halvane {

// Every controller of the full listing, in its order, each Fibre Channel one with its targets and
// their logical units; then any Fibre Channel controller whose targets the listing shows but
// which has no port block of its own.
void PrintInventoryDocument(DeviceRegistry& registry, std::ostream& out);

// The document of one port, with its targets; an empty handle gives a document without
// controllers.
void PrintPortDocument(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out);

}  // namespace halvane
