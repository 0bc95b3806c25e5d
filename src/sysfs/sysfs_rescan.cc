#include "sysfs/sysfs_rescan.h"

#include <cerrno>
#include <ostream>

#include "sysfs/sysfs_registry.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {

void RescanSysfsHosts(const std::string& root, std::optional<std::uint64_t> host,
                      AttributeWriter* writer, std::ostream& errors) {
  std::string tree;
  if (!ResolveSysfsRoot(root, &tree).ok()) return;
  const auto reader = MakeTreeReader(tree);
  const std::unique_ptr<AttributeWriter> owned = writer ? nullptr : MakeTreeWriter(tree);
  AttributeWriter& used = writer ? *writer : *owned;
  // Each host in order: its name, and its status or the write that will give it.
  struct Asked {
    std::string name;
    Status status;
    std::size_t write = 0;
  };
  std::vector<Asked> asked;
  std::vector<AttributeWrite> writes;
  for (const FibreChannelHost& h : FibreChannelHosts(*reader, tree)) {
    if (host && h.number != *host) continue;
    if (auto folder = ScsiHostFolder(*reader, tree, h.name, DeviceOf(h.folder))) {
      asked.push_back({h.name, Status::Ok(), writes.size()});
      writes.push_back({*folder, "scan", "- - -\n"});
    } else {
      const bool linked = reader->Exists(tree + "/class/scsi_host/" + h.name);
      asked.push_back({h.name, AttributeWriteStatus(linked ? kNotAnAttribute : ENOENT), 0});
    }
  }
  const std::vector<Status> written = used.WriteTogether(writes);
  for (Asked& a : asked) {
    const Status& status = a.status.ok() ? written[a.write] : a.status;
    if (!status.ok())
      errors << "halvane: cannot rescan " << a.name << ": " << status.message() << "\n";
  }
}

}  // namespace halvane
