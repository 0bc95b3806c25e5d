// NVMe over Fibre Channel: the controllers the nvme driver connected through a host's port, and
// their namespaces. The kernel publishes them apart from the Fibre Channel hosts, in class/nvme,
// and names the port a controller goes through only in the controller's address, so a host's
// controllers are found by that address.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/property_value.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// A Fibre Channel address as an NVMe connection names it: a node and a port name.
struct NvmeFcName {
  std::uint64_t node = 0;
  std::uint64_t port = 0;
};
// The remote and the local name of an NVMe over Fibre Channel controller's address
// ("traddr=nn-0x...:pn-0x...,host_traddr=nn-0x...:pn-0x...", each name with or without its
// "0x"); nothing when either is missing or is not in one of the forms the kernel accepts.
struct NvmeFcAddress {
  NvmeFcName remote;
  NvmeFcName host;
};
std::optional<NvmeFcAddress> ParseNvmeFcAddress(std::string_view address);

// An NVMe controller reached through a Fibre Channel port.
struct NvmeControllerPlace {
  std::uint64_t instance = 0;  // N of "nvmeN"
  std::string name;
  std::string folder;  // a real path
  NvmeFcAddress address;
};
// The NVMe controllers whose transport is Fibre Channel and whose address names port_name as
// theirs, in instance order. Controllers over any other transport are never a port's.
std::vector<NvmeControllerPlace> NvmeControllersOf(SysfsReader& reader, const std::string& root,
                                                   std::uint64_t port_name, Failures* failed);

// A namespace as one controller has it: the controller's own disk of it, "nvmeScCnN" (its path
// to a namespace that native multipath joins into the head disk "nvmeSnN") or "nvmeXnN" (a disk
// of its own).
struct NamespacePlace {
  std::uint64_t nsid = 0;
  std::string name;
  std::string folder;
};
// The namespaces of a controller folder, in namespace id order.
std::vector<NamespacePlace> NamespacesOf(SysfsReader& reader, const std::string& folder,
                                         Failures* failed);

// The folders of host's remote ports (class/fc_remote_ports) by their port name, the first in
// name order for a name several have: read once for all the host's controllers, so that finding
// each one's remote port costs the same however many the host has.
std::map<std::uint64_t, std::string> RemotePortsByName(SysfsReader& reader, const std::string& root,
                                                       std::uint64_t host, Failures* failed);

// A controller's table; the remote port's FC address, state and roles from remote_port, the
// folder of the host's remote port with the controller's remote port name, when there is one.
PropertyValue NvmeControllerTable(SysfsReader& reader, const NvmeControllerPlace& place,
                                  const std::string* remote_port);

// A namespace's table: its ids and size from the disk applications open (the head of a
// multipathed namespace), its access state from the controller's own disk.
PropertyValue NamespaceTable(SysfsReader& reader, const std::string& root,
                             const NamespacePlace& place);

}  // namespace halvane
