// The registry of a run, opened on its first use, so that runs which never need it (help,
// version, a rejected command line, the root check) never read it, and a run that cannot open it
// is told so once, at the point where it first needed it.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "registry/device_registry.h"

namespace halvane {

class LazyRegistry {
 public:
  using Opener = std::function<StatusOr<std::unique_ptr<DeviceRegistry>>(RegistryUse use)>;

  explicit LazyRegistry(Opener opener) : opener_(std::move(opener)) {}
  // A registry that is open already, which must outlive this one.
  explicit LazyRegistry(DeviceRegistry& open) : opened_(&open) {}

  // The registry, opened for use by the first call; every later call answers the same registry,
  // or the same failure, whatever use it gives.
  StatusOr<DeviceRegistry*> Open(RegistryUse use);

 private:
  Opener opener_;
  std::optional<StatusOr<DeviceRegistry*>> opened_;
  std::unique_ptr<DeviceRegistry> owned_;
};

}  // namespace halvane
