// Applying new settings to the port named with -c, or printing that port when no settings were
// given.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "config/run.h"

namespace halvane {

inline constexpr char kNotRootMessage[] = "You must be running as root to modify settings...";
inline constexpr char kPortNotFoundMessage[] = "Specified Port World Wide Name not found.";

RunOutcome HandlePortRequest(const ParsedOptions& options, Services& services);

// The SCSI host number of the port named wanted, when the registry says.
std::optional<std::uint64_t> PortHostNumber(DeviceRegistry& registry, std::string_view wanted);

}  // namespace halvane
