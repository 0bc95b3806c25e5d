// Where the kernel puts a Fibre Channel host's objects in sysfs, and how they are found: the
// hosts of class/fc_host, each one's remote ports that are SCSI targets, a remote port's target
// and the target's logical units, and the folders around a host (its driver attributes, its PCI
// function and slot, the physical port of an NPIV virtual port). Every look at the tree goes
// through the reader; a read that fails on the way is added to failed, and the walk goes on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sysfs/sysfs_reader.h"

namespace halvane {

// A Fibre Channel host: class/fc_host/hostN leading to a folder inside the tree.
struct FibreChannelHost {
  std::uint64_t number;
  std::string name;    // "hostN"
  std::string folder;  // its fc_host folder, a real path
};

// The hosts of the tree at root (a real path), in host number order.
std::vector<FibreChannelHost> FibreChannelHosts(SysfsReader& reader, const std::string& root,
                                                Failures* failed);

// The host device of an fc_host folder: the kernel puts a host's class folders at
// <device>/fc_host/hostN and <device>/scsi_host/hostN.
std::string DeviceOf(const std::string& fc_folder);

// The folder of a host's driver attributes: its class/scsi_host link, followed only into the
// tree and only to the scsi_host folder of device (the one its port was read from), so that
// nothing is ever written outside the tree or to another adapter.
std::optional<std::string> ScsiHostFolder(SysfsReader& reader, const std::string& root,
                                          const std::string& host_name, const std::string& device);

// Whether folder lies below an NPIV virtual port (a vport-H:C-N folder). A virtual port shares
// the physical adapter's attributes, so a setting written through it would change the link of the
// physical port and of every other virtual port on it.
bool IsVirtualPort(const std::string& root, const std::string& folder);

// The physical port above the host of a virtual port's fc_host folder: its host number and its
// fc_host folder; nothing for a host that is not a virtual port.
struct PhysicalPort {
  std::uint64_t number;
  std::string fc_folder;
};
std::optional<PhysicalPort> PhysicalPortOf(const std::string& fc_folder);

// The PCI function above a host: the first ancestor folder named like a PCI address.
std::optional<std::string> PciFunctionOf(const std::string& root, const std::string& fc_folder);

// The physical slot holding a PCI function (its address, "dddd:bb:dd.f"), by the
// "domain:bus:device" address of each slot; nothing when no slot holds it.
std::optional<std::string> SlotOf(SysfsReader& reader, const std::string& root,
                                  const std::string& address, Failures* failed);

// The NPIV virtual ports of host number: their fc_vports folders (vport-H:C-N), in name order.
std::vector<std::string> VirtualPortsOf(SysfsReader& reader, const std::string& root,
                                        std::uint64_t host, Failures* failed);

// The device-mapper multipath maps of the host: each dm-N of block/ whose dm/uuid begins with
// "mpath-", with its folder, in dm number order.
struct MapPlace {
  std::string name;    // "dm-N"
  std::string folder;  // a real path
};
std::vector<MapPlace> MultipathMaps(SysfsReader& reader, const std::string& root, Failures* failed);

// A host's remote port, and for one that is a SCSI target its target id.
struct RemotePortPlace {
  std::string name;    // "rport-H:C-N"
  std::string folder;  // its fc_remote_ports folder, a real path
  std::uint64_t channel = 0;
  std::int64_t target_id = 0;
};
// The remote ports of host number (class/fc_remote_ports), in name order; no target ids.
std::vector<RemotePortPlace> RemotePortsOf(SysfsReader& reader, const std::string& root,
                                           std::uint64_t host, Failures* failed);
// Those that are SCSI targets, with their ids, in target id order.
std::vector<RemotePortPlace> TargetPorts(SysfsReader& reader, const std::string& root,
                                         std::uint64_t host, Failures* failed);

// A remote port's one SCSI target: "targetH:C:T", and its folder, which the rport device folder
// (two levels above the port's class folder) holds; an empty folder for a port found anywhere
// else, which has no logical units.
struct TargetPlace {
  std::string name;
  std::string folder;
};
TargetPlace TargetOf(std::uint64_t host, const RemotePortPlace& port);

// A target's logical units, "H:C:T:L" folders of its own numbers, in LUN order.
struct UnitPlace {
  std::uint64_t lun;
  std::string name;
  std::string folder;
};
std::vector<UnitPlace> UnitsOf(SysfsReader& reader, const std::string& target_folder,
                               std::uint64_t host, std::uint64_t channel, std::int64_t target_id,
                               Failures* failed);

}  // namespace halvane
