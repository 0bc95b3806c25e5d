#include "registry/lazy_registry.h"

namespace halvane {

StatusOr<DeviceRegistry*> LazyRegistry::Open(RegistryUse use) {
  if (!opened_) {
    StatusOr<std::unique_ptr<DeviceRegistry>> made = opener_(use);
    if (made.ok()) {
      owned_ = std::move(*made);
      opened_ = owned_.get();
    } else {
      opened_ = made.status();
    }
  }
  return *opened_;
}

}  // namespace halvane
