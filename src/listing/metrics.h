// The inventory as Prometheus metrics (--metrics), in the text exposition format that the node
// exporter's text file collector reads: what a fleet alerts on (links, remote ports, LUNs and
// namespaces that are not usable, multipath maps that lost paths), one gauge family after another,
// each with its HELP and TYPE lines. The link counters are left to the node exporter, which
// exports them itself.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "registry/device_registry.h"

namespace halvane {

// Every port of the full listing, and every multipath map.
void PrintMetrics(DeviceRegistry& registry, std::ostream& out);
// One port, and the multipath maps with a path through it; nothing at all when the handle is
// empty.
void PrintPortMetrics(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out);

// A label value as the exposition format takes it: UTF-8 (what is not becomes U+FFFD), with
// backslash, double quote and line feed escaped, up to its first zero character.
std::string MetricLabelValue(std::string_view text);

}  // namespace halvane
