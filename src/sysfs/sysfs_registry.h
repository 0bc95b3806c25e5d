// The live host's registry, read from the kernel's Fibre Channel and SCSI objects in sysfs: one
// controller entry per FC host, under it one device entry per remote port that is a SCSI target,
// that port's target entry, and the target's logical units; under a host too, its NVMe over Fibre
// Channel controllers and their namespaces; and under the root, beside the hosts, one entry per
// device-mapper multipath map. It reads only what a run asks for:
// folders are listed when a walk reaches them and an entry's attributes are read at the first
// question about it. Settings written to a host entry go to the driver attributes that accept
// them.
#pragma once

#include <memory>
#include <string>

#include "registry/device_registry.h"
#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// The registry of the sysfs tree at root (normally "/sys"). A tree without class/fc_host gives a
// registry with no ports. Fails only when root itself cannot be used. Everything the registry
// reads from the tree goes through reader and settings go through writer, when they are given
// (they must outlive the registry), otherwise through the tree's own; a change that could not be
// undone after a refusal is named in the refusal.
StatusOr<std::unique_ptr<DeviceRegistry>> BuildSysfsRegistry(const std::string& root,
                                                             SysfsReader* reader = nullptr,
                                                             AttributeWriter* writer = nullptr);

// The real path of root; fails naming root.
StatusOr<std::string> ResolveSysfsRoot(const std::string& root);

}  // namespace halvane
