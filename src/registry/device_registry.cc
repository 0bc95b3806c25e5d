#include "registry/device_registry.h"

namespace halvane {

RegistryEntry DeviceRegistry::NextEntry(RegistryIterator& iterator) {
  return iterator ? iterator.impl()->Next() : RegistryEntry();
}

RegistryStatus DeviceRegistry::WriteSnapshot(std::string*) { return kRegistryUnsupported; }

}  // namespace halvane
