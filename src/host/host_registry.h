// Which registry a run reads: the snapshot file the environment names, or else the host's own.
#pragma once

#include <memory>

#include "host/environment.h"
#include "registry/device_registry.h"

namespace halvane {

// The registry of this run, opened for use: the environment's refusal, the snapshot it names, or
// the live sysfs tree.
StatusOr<std::unique_ptr<DeviceRegistry>> OpenHostRegistry(const HostEnvironment& environment,
                                                           RegistryUse use);

// Where the run's registry has its ports, as a message names it: "class/fc_host under /sys", or
// "the snapshot host.json".
std::string PortsPlace(const HostEnvironment& environment);

}  // namespace halvane
