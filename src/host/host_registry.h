// Which registry a run reads: the snapshot file named by HALVANE_REGISTRY, or else the host's
// own.
#pragma once

#include <memory>
#include <string>

#include "registry/device_registry.h"

namespace halvane {

// Opens the registry of this run, for writing to it or only reading, or answers nullptr with the
// reason in *error.
std::unique_ptr<DeviceRegistry> OpenHostRegistry(bool for_writing, std::string* error);

}  // namespace halvane
