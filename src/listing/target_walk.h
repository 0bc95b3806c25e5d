// The walk that the text listing and the inventory document share: below each Fibre Channel
// controller its targets, below each target its logical units, with the values both show read
// the same way. The walk holds one target's units at a time, so a listing of any size is printed
// as it goes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"

namespace halvane {

// Whether a controller's protocol characteristics, its own or a descendant's, name the Fibre
// Channel interconnect: only those controllers have their targets listed.
bool HasFibreChannelInterconnect(DeviceRegistry& registry, const RegistryEntry& controller);

// The WWN text of a controller's node name, from its own characteristics; nothing when they
// cannot be read or hold none.
std::optional<std::string> ControllerNodeName(DeviceRegistry& registry,
                                              const RegistryEntry& controller);

// One target: the SCSI device entry above it, which carries the remote port's values, and the
// target entry itself.
struct TargetView {
  DeviceRegistry& registry;
  const RegistryEntry& device;
  const RegistryEntry& target;

  std::optional<PropertyValue> Port(std::string_view key) const {
    return registry.ValueOf(device, key);
  }
  std::optional<PropertyValue> Own(std::string_view key) const {
    return registry.ValueOf(target, key);
  }
};

// One logical unit. Its identification is searched in its own table first, then in its
// descendants'.
struct LunView {
  DeviceRegistry& registry;
  const RegistryEntry& unit;

  std::optional<PropertyValue> Search(std::string_view key) const {
    return registry.SearchProperty(unit, key, SearchDirection::kDescendants);
  }
  std::optional<PropertyValue> Own(std::string_view key) const {
    return registry.ValueOf(unit, key);
  }
  // The same, telling a value that could not be read from one that is absent.
  StatusOr<std::optional<PropertyValue>> Read(std::string_view key) const {
    return registry.Read(unit, key);
  }
  // What the heading shows after "SCSI Logical Unit @ ": the LUN in decimal, or the 8-byte form
  // of a LUN that is not in the peripheral address space.
  std::optional<std::string> Address() const;
  // The unique identifier: "0x" and the first 8 bytes in hexadecimal, then bytes 8 to 15 when
  // the value is longer than 8 bytes; missing bytes print as 00.
  std::optional<std::string> UniqueId() const;
  // The vendor-specific ASCII designators of the addressed logical unit among the designators
  // of its identification, in page order, as registry values.
  std::vector<PropertyValue> Aliases() const;
  // The name of the multipath map that holds the unit, which is what an administrator named it.
  std::optional<PropertyValue> MapName() const;
};

// Calls children_found once, when the controller has any child at all, then target for each of
// its targets: every child that is a SCSI device and, below it, every child that is a target, in
// order. A child list that cannot be had is passed over.
void ForEachTarget(DeviceRegistry& registry, const RegistryEntry& controller,
                   const std::function<void()>& children_found,
                   const std::function<void(const TargetView&)>& target);

// Calls controller for each NVMe controller reached through a Fibre Channel controller, in order.
// An NVMe controller is its own remote port's entry as well as the target: the view's device and
// target are both the controller.
void ForEachNvmeController(DeviceRegistry& registry, const RegistryEntry& port,
                           const std::function<void(const TargetView&)>& controller);

// Calls lun for each logical unit of target, whatever its class, in order; for each namespace of
// an NVMe controller, which is NVMe's logical unit, likewise.
void ForEachLun(DeviceRegistry& registry, const RegistryEntry& target,
                const std::function<void(const LunView&)>& lun);

// The WWN text of up to the first eight bytes of a Data value, missing bytes counting as 0.
std::optional<std::string> FormatPaddedWWN(const std::optional<PropertyValue>& value);

}  // namespace halvane
