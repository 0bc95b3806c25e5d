#include "host/host_registry.h"

#include "registry/snapshot.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {

StatusOr<std::unique_ptr<DeviceRegistry>> OpenHostRegistry(const HostEnvironment& environment,
                                                           RegistryUse use) {
  if (!environment.refused.ok()) return environment.refused;
  if (!environment.snapshot.empty()) return LoadSnapshotFile(environment.snapshot, use);
  return BuildSysfsRegistry(environment.sysfs_root);
}

std::string PortsPlace(const HostEnvironment& environment) {
  if (!environment.snapshot.empty()) return "the snapshot " + environment.snapshot;
  return "class/fc_host under " + environment.sysfs_root;
}

}  // namespace halvane
