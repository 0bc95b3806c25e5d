#include "host/host_registry.h"

#include "registry/snapshot.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {

Status OpenHostRegistry(const HostEnvironment& environment, bool for_writing,
                        std::unique_ptr<DeviceRegistry>* out) {
  if (!environment.snapshot.empty()) {
    return LoadSnapshotFile(environment.snapshot,
                            for_writing ? SnapshotUse::kReadAndWrite : SnapshotUse::kRead, out);
  }
  return BuildSysfsRegistry(environment.sysfs_root, out);
}

}  // namespace halvane
