#include "host/host_registry.h"

#include <cstdlib>

#include "registry/memory_registry.h"
#include "registry/snapshot.h"

namespace halvane {

std::unique_ptr<DeviceRegistry> OpenHostRegistry(std::string* error) {
  const char* snapshot = std::getenv("HALVANE_REGISTRY");
  if (snapshot != nullptr && *snapshot != '\0') return LoadSnapshotFile(snapshot, error);
  // No live backend yet: a host without a snapshot shows no ports.
  return std::make_unique<MemoryRegistry>();
}

}  // namespace halvane
