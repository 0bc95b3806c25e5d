// The controller ports of the host and the one normalised record, the PortInfo, that the reports
// and the settings path read. Drivers publish port characteristics in two layouts and under
// several key names; this is the one place that knows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"
#include "registry/vocabulary.h"

namespace halvane {

// The controller ports in registry order. Entries of the user-client controller class hide the
// older class entirely: only one class is ever listed.
StatusOr<RegistryIterator> DiscoverControllers(DeviceRegistry& registry);

// The PortInfo of one port: kNotFound when the entry has no characteristics Dictionary in either
// layout. Its kRecordPortName is the port's WWN text, and is left out when the port's name is
// not a WWN.
StatusOr<Dictionary> BuildPortInfo(DeviceRegistry& registry, const RegistryEntry& entry);

// What the reports call a port: its WWN text, or kUnreadablePortName.
std::string PortNameText(const Dictionary& record);

// The port whose name equals wanted, compared over the whole text without regard to case. When
// several ports share a name, the last in registry order is the one found. kNoDevice when there
// is no port or none matches.
StatusOr<RegistryEntry> FindPortByWWN(DeviceRegistry& registry, std::string_view wanted);

// The ports that have a record, each name once: the port the name stands for, as FindPortByWWN
// finds it (the last of those of that name), in registry order. Ports whose name is not a WWN
// share kUnreadablePortName. Every report that shows a port once per name keeps to this rule.
// Each comes with the record it was named by, built once.
struct NamedPort {
  RegistryEntry entry;
  Dictionary record;
};
StatusOr<std::vector<NamedPort>> DistinctPorts(DeviceRegistry& registry);

// The SCSI host number of the port named wanted, when the registry says.
std::optional<std::uint64_t> PortHostNumber(DeviceRegistry& registry, std::string_view wanted);

}  // namespace halvane
