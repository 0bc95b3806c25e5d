#include "registry/device_registry.h"

namespace halvane {

RegistryEntry DeviceRegistry::NextEntry(RegistryIterator& iterator) {
  return iterator ? iterator.impl()->Next() : RegistryEntry();
}

}  // namespace halvane
