// The live host's registry, built from the kernel's Fibre Channel and SCSI objects in sysfs: one
// controller entry per FC host, under it one device entry per remote port that is a SCSI target,
// that port's target entry, and the target's logical units. Settings written to a host entry go
// to the driver attributes that accept them.
#pragma once

#include <memory>
#include <string>

#include "registry/memory_registry.h"

namespace halvane {

inline constexpr char kSysfsRootClass[] = "LinuxSysfsRoot";
inline constexpr char kSysfsHostClass[] = "LinuxFibreChannelHost";
inline constexpr char kSysfsRemotePortClass[] = "LinuxFibreChannelRemotePort";
inline constexpr char kSysfsTargetClass[] = "LinuxSCSITarget";
inline constexpr char kSysfsLogicalUnitClass[] = "LinuxSCSILogicalUnit";

// Builds the registry of the sysfs tree at root (normally "/sys"). A tree without
// class/fc_host gives a registry with no ports. Answers nullptr, with the reason in *error, only
// when root itself cannot be used.
std::unique_ptr<MemoryRegistry> BuildSysfsRegistry(const std::string& root, std::string* error);

}  // namespace halvane
