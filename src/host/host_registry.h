// Which registry a run reads: the snapshot file the environment names, or else the host's own.
#pragma once

#include <memory>
#include <ostream>

#include "host/environment.h"
#include "registry/device_registry.h"

namespace halvane {

// The registry of this run, opened for use. A live host's settings that could not be undone are
// reported on errors.
StatusOr<std::unique_ptr<DeviceRegistry>> OpenHostRegistry(const HostEnvironment& environment,
                                                           RegistryUse use, std::ostream& errors);

// Where the run's registry has its ports, as a message names it: "class/fc_host under /sys", or
// "the snapshot host.json".
std::string PortsPlace(const HostEnvironment& environment);

}  // namespace halvane
