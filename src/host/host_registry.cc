#include "host/host_registry.h"

#include <cstdlib>

#include "registry/snapshot.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {
namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

}  // namespace

std::unique_ptr<DeviceRegistry> OpenHostRegistry(bool for_writing, std::string* error) {
  const std::string snapshot = FromEnvironment("HALVANE_REGISTRY", "");
  if (!snapshot.empty()) {
    return LoadSnapshotFile(snapshot, error,
                            for_writing ? SnapshotUse::kReadAndWrite : SnapshotUse::kRead);
  }
  return BuildSysfsRegistry(FromEnvironment("HALVANE_SYSFS_ROOT", "/sys"), error);
}

}  // namespace halvane
