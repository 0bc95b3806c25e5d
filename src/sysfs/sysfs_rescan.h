// Asking the kernel to look again for the devices behind the Fibre Channel hosts of a live tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

#include "sysfs/attribute_writer.h"

namespace halvane {

// Writes "- - -" to the scsi_host scan attribute of every Fibre Channel host of the tree at root,
// or only of host when one is given: the rescan that adds new targets and LUNs and resets no
// link. Each write returns once the kernel's scan of that host is over, so several hosts are
// scanned at the same time (AttributeWriter::WriteTogether). Without a writer, the tree's own.
// Planned, nothing is written: each host that would be asked gets a line of the plan instead
// ("host3: scan, writes \"- - -\\n\""). Either way, what could not be asked is answered, each
// failure in one status that names the host ("cannot rescan host3: ...") or, when the tree itself
// could not be used, the tree.
struct RescanReport {
  std::string plan;
  std::vector<Status> failures;
};
enum class RescanUse { kWrite, kPlan };
RescanReport RescanSysfsHosts(const std::string& root, std::optional<std::uint64_t> host,
                              AttributeWriter* writer, RescanUse use = RescanUse::kWrite);

}  // namespace halvane
