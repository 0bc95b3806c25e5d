#include "sysfs/sysfs_rescan.h"

#include <cerrno>

#include "sysfs/sysfs_registry.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {

RescanReport RescanSysfsHosts(const std::string& root, std::optional<std::uint64_t> host,
                              AttributeWriter* writer, RescanUse use) {
  RescanReport report;
  const StatusOr<std::string> tree = ResolveSysfsRoot(root);
  if (!tree.ok()) {
    report.failures.push_back(tree.status().Of("cannot rescan"));
    return report;
  }
  const auto reader = MakeTreeReader(*tree);
  const std::unique_ptr<AttributeWriter> owned = writer ? nullptr : MakeTreeWriter(*tree);
  AttributeWriter& used = writer ? *writer : *owned;
  // Each host in order, with why it cannot be asked; those that can be are asked together, each
  // by the next of the writes.
  struct Asked {
    std::string name;
    Status refused;
  };
  std::vector<Asked> asked;
  std::vector<AttributeWrite> writes;
  Failures failed;
  const std::vector<FibreChannelHost> hosts = FibreChannelHosts(*reader, *tree, &failed);
  for (const Status& failure : failed) report.failures.push_back(failure.Of("cannot rescan"));
  for (const FibreChannelHost& h : hosts) {
    if (host && h.number != *host) continue;
    if (auto folder = ScsiHostFolder(*reader, *tree, h.name, DeviceOf(h.folder))) {
      asked.push_back({h.name, Status::Ok()});
      writes.push_back({*folder, "scan", "- - -\n"});
    } else {
      const bool linked = reader->Exists(*tree + "/class/scsi_host/" + h.name);
      asked.push_back({h.name, linked ? NotAnAttribute() : ErrnoStatus(ENOENT)});
    }
  }
  const bool planned = use == RescanUse::kPlan;
  if (planned) {
    for (const Asked& a : asked) {
      if (a.refused.ok()) report.plan += a.name + ": scan, writes \"- - -\\n\"\n";
    }
  }
  const std::vector<Status> written =
      planned ? std::vector<Status>(writes.size()) : used.WriteTogether(writes);
  auto next = written.begin();
  for (const Asked& a : asked) {
    const Status& status = a.refused.ok() ? *next++ : a.refused;
    if (!status.ok()) report.failures.push_back(status.Of("cannot rescan " + a.name));
  }
  return report;
}

}  // namespace halvane
