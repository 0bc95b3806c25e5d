// The full listing of -l: the controller section, then every Fibre Channel controller's node
// WWN, targets and logical units.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "registry/device_registry.h"

namespace halvane {

inline constexpr char kScsiControllerClass[] = "KestritSCSIParallelInterfaceController";
inline constexpr char kScsiDeviceClass[] = "KestritSCSIParallelInterfaceDevice";
inline constexpr char kScsiTargetClass[] = "KestritSCSITargetDevice";

std::int32_t PrintFullReport(DeviceRegistry& registry, std::ostream& out);
RegistryStatus PrintTargetSection(DeviceRegistry& registry, std::ostream& out);
void PrintControllerTargets(DeviceRegistry& registry, const RegistryEntry& controller,
                            std::ostream& out);
void PrintTargetLuns(DeviceRegistry& registry, const RegistryEntry& target, std::ostream& out);
void PrintLunBlock(DeviceRegistry& registry, const RegistryEntry& unit, std::ostream& out);

// The WWN text of up to the first eight bytes of a Data value, missing bytes counting as 0.
std::optional<std::string> FormatPaddedWWN(const std::optional<PropertyValue>& value);
// "0x" and the first 8 bytes in hexadecimal, then bytes 8 to 15 when the value is longer than 8
// bytes; missing bytes print as 00.
std::optional<std::string> FormatUniqueID(const std::optional<PropertyValue>& value);

}  // namespace halvane
