// The controller ports of the host and the one normalised record, the PortInfo, that the reports
// and the settings path read. Drivers publish port characteristics in two layouts and under
// several key names; this is the one place that knows them.
#pragma once

#include <cstdint>
#include <string>

#include "registry/device_registry.h"
#include "registry/vocabulary.h"

namespace halvane {

// Codes of the WWN formatters' failures.
inline constexpr StatusCode kWwnWrongLength = -9057;
inline constexpr StatusCode kWwnNotAnInteger = -50;

// The controller ports in registry order. Entries of the user-client controller class hide the
// older class entirely: only one class is ever listed.
Status DiscoverControllers(DeviceRegistry& registry, RegistryIterator* out);

// The PortInfo of one port: kRegistryNotFound when the entry has no characteristics Dictionary
// in either layout.
Status BuildPortInfo(DeviceRegistry& registry, const RegistryEntry& entry, Dictionary* out);

// "XX:XX:XX:XX:XX:XX:XX:XX" from eight bytes of Data, first byte first.
Status FormatWWNFromData(const PropertyValue& value, std::string* out);
// The same text from a Number read as a signed 64-bit integer, least significant byte first.
Status FormatWWNFromNumber(const PropertyValue& value, std::string* out);
// The WWN text of eight bytes, first to last.
std::string WWNText(const std::uint8_t bytes[8]);

// The port whose kRecordPortName equals wanted, compared over the whole text without regard to
// case. When several ports share a name, the last in registry order is the one found.
// kRegistryNoDevice when there is no port or none matches.
Status FindPortByWWN(DeviceRegistry& registry, std::string_view wanted, RegistryEntry* out);

}  // namespace halvane
