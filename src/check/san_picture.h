// A picture of the host's storage area network as a Graphviz DOT graph (--dot): the host's
// ports, the fabrics they log into, the remote ports behind them, the LUNs and NVMe namespaces
// they reach and the multipath maps that hold them, coloured by the verdict of the check on the
// same walk. The tool writes the graph; Graphviz lays it out.
#pragma once

#include <ostream>
#include <string>

#include "check/judge.h"
#include "registry/device_registry.h"

namespace halvane {

// Writes the graph of what the check's walk finds within scope. LUNs and namespaces that share
// the same paths, in the same state, are one node (their count, total size and WWID range), so
// that a host of any size stays a picture of a few hundred nodes. A port, remote port or path
// that is not online is red, a LUN, namespace or map with a finding orange (red when it has no
// usable path left), one whose findings are all accepted grey; a legend says so. The same host
// gives the same bytes: nodes are named by WWNs and WWIDs and written in the order of their names.
void PrintSanPicture(DeviceRegistry& registry, const CheckScope& scope, std::ostream& out);

// The graph of nothing, its title saying why (a port named that no port is), and its legend.
void PrintEmptySanPicture(DeviceRegistry& registry, std::string why, std::ostream& out);

}  // namespace halvane
