// Asking the kernel to look again for the devices behind the Fibre Channel hosts of a live tree.
#pragma once

#include <iosfwd>
#include <string>

#include "sysfs/attribute_writer.h"

namespace halvane {

// Writes "- - -" to the scsi_host scan attribute of every Fibre Channel host of the tree at root:
// the rescan that adds new targets and LUNs and resets no link. Each host that could not be
// asked gets one line on errors. Without a writer, the tree's own.
void RescanSysfsHosts(const std::string& root, AttributeWriter* writer, std::ostream& errors);

}  // namespace halvane
