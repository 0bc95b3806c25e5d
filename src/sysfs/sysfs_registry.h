// The live host's registry, read from the kernel's Fibre Channel and SCSI objects in sysfs: one
// controller entry per FC host, under it one device entry per remote port that is a SCSI target,
// that port's target entry, and the target's logical units. It reads only what a run asks for:
// folders are listed when a walk reaches them and an entry's attributes are read at the first
// question about it. Settings written to a host entry go to the driver attributes that accept
// them.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "registry/device_registry.h"
#include "registry/vocabulary.h"
#include "sysfs/attribute_writer.h"

namespace halvane {

class SysfsReader;

// The registry of the sysfs tree at root (normally "/sys"). A tree without
// class/fc_host gives a registry with no ports. Answers nullptr, with the reason in *error, only
// when root itself cannot be used.
// Settings go through writer; a change that could not be rolled back after a refusal is reported
// on errors. Without them, the process's own writer and standard error. Everything the registry
// reads from the tree goes through reader, when one is given (it must outlive the registry).
std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, std::string* error);
std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, AttributeWriter& writer,
                                                   std::ostream& errors, std::string* error);
std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, SysfsReader* reader,
                                                   AttributeWriter& writer, std::ostream& errors,
                                                   std::string* error);

// Asks the kernel to look again for devices behind every Fibre Channel host that the registry of
// the tree at root lists: "- - -" to each one's scsi_host scan attribute, the rescan that adds new
// LUNs and resets no link. Each host that could not be asked gets one line on errors.
void RescanSysfsHosts(const std::string& root, AttributeWriter& writer, std::ostream& errors);

}  // namespace halvane
