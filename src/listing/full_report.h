// The full listing of -l: the controller section, then every Fibre Channel controller's node
// WWN, targets and logical units.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "registry/device_registry.h"
#include "registry/vocabulary.h"

namespace halvane {

std::int32_t PrintFullReport(DeviceRegistry& registry, std::ostream& out);
RegistryStatus PrintTargetSection(DeviceRegistry& registry, std::ostream& out);
void PrintLunBlock(DeviceRegistry& registry, const RegistryEntry& unit, std::ostream& out);

// What the heading of a logical unit's block shows after "SCSI Logical Unit @ ": the LUN in
// decimal, or the 8-byte form of a LUN that is not in the peripheral address space.
std::optional<std::string> LunAddressText(DeviceRegistry& registry, const RegistryEntry& unit);
// The aliases of a logical unit among the designators of its identification: the vendor-specific
// ASCII designators of the addressed logical unit, in page order, as registry values.
std::vector<PropertyValue> LunAliases(const std::optional<PropertyValue>& identification);
// Whether a controller's protocol characteristics name the Fibre Channel interconnect: only
// those controllers have their targets listed.
bool HasFibreChannelInterconnect(DeviceRegistry& registry, const RegistryEntry& controller);

// The WWN text of up to the first eight bytes of a Data value, missing bytes counting as 0.
std::optional<std::string> FormatPaddedWWN(const std::optional<PropertyValue>& value);
// "0x" and the first 8 bytes in hexadecimal, then bytes 8 to 15 when the value is longer than 8
// bytes; missing bytes print as 00.
std::optional<std::string> FormatUniqueID(const std::optional<PropertyValue>& value);

}  // namespace halvane
