// Which registry a run reads: the snapshot file the environment names, or else the host's own.
#pragma once

#include <memory>

#include "host/environment.h"
#include "registry/device_registry.h"

namespace halvane {

// Opens the registry of this run into *out, for writing to it or only reading.
Status OpenHostRegistry(const HostEnvironment& environment, bool for_writing,
                        std::unique_ptr<DeviceRegistry>* out);

}  // namespace halvane
