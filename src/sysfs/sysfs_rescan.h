// Asking the kernel to look again for the devices behind the Fibre Channel hosts of a live tree.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "sysfs/attribute_writer.h"

namespace halvane {

// Writes "- - -" to the scsi_host scan attribute of every Fibre Channel host of the tree at root,
// or only of host when one is given: the rescan that adds new targets and LUNs and resets no
// link. Each write returns once the kernel's scan of that host is over, so several hosts are
// scanned at the same time (AttributeWriter::WriteTogether). Each host that could not be asked
// gets one line on errors. Without a writer, the tree's own. With plan, nothing is written: each
// host that would be asked gets a line there instead ("host3: scan, writes \"- - -\\n\"").
void RescanSysfsHosts(const std::string& root, std::optional<std::uint64_t> host,
                      AttributeWriter* writer, std::ostream& errors, std::ostream* plan = nullptr);

}  // namespace halvane
