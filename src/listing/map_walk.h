// The multipath maps of a registry as everything that reports on them reads them: the inventory
// document, the metrics, and a verdict on paths lost. One walk, so that they always agree on
// which maps a port has and what each map's paths are.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"

namespace halvane {

// One map: its entry's values, and its paths, each a Dictionary of kScsiAddressKey,
// kBlockDeviceKey, kScsiDeviceStateKey and, for a path through a Fibre Channel port,
// kPortWorldWideNameKey and kRemotePortNameKey; an NVMe namespace's path has kNvmeControllerKey
// and kNvmeControllerStateKey instead of the SCSI address and state.
class MapView {
 public:
  MapView(DeviceRegistry& registry, const RegistryEntry& map);

  std::optional<PropertyValue> Own(std::string_view key) const {
    return registry_.ValueOf(map_, key);
  }
  // The WWID of the logical unit the map stands for, from its uuid's text.
  std::optional<std::string> Wwid() const;
  const std::vector<const Dictionary*>& paths() const { return paths_; }
  // How many paths are active: their SCSI device is running, or their NVMe controller is live.
  std::size_t ActivePaths() const;
  // The state of a path: its SCSI device's, or its NVMe controller's.
  static std::optional<std::string> PathState(const Dictionary& path);
  // Whether the state of a path could not be read: it is neither active nor known to be down.
  static bool PathStateUnreadable(const Dictionary& path);
  // Whether a path goes through the port of that name: the path's port name, as a WWN text,
  // byte for byte the port's, whatever the kernel means by the name.
  bool ThroughPort(std::string_view port_name) const;

 private:
  DeviceRegistry& registry_;
  const RegistryEntry& map_;
  std::optional<PropertyValue> paths_value_;  // keeps paths_ alive
  std::vector<const Dictionary*> paths_;
};

// Calls map for each multipath map of the registry, in registry order; with only_port, only for
// those with a path through the port of that name.
void ForEachMap(DeviceRegistry& registry, const std::optional<std::string>& only_port,
                const std::function<void(const MapView&)>& map);

}  // namespace halvane
