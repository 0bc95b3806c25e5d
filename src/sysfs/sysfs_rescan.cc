#include "sysfs/sysfs_rescan.h"

#include <cerrno>
#include <ostream>

#include "sysfs/sysfs_registry.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {

void RescanSysfsHosts(const std::string& root, AttributeWriter* writer, std::ostream& errors) {
  std::string tree;
  if (!ResolveSysfsRoot(root, &tree).ok()) return;
  const auto reader = MakeTreeReader(tree);
  const std::unique_ptr<AttributeWriter> owned = writer ? nullptr : MakeTreeWriter(tree);
  AttributeWriter& used = writer ? *writer : *owned;
  for (const FibreChannelHost& host : FibreChannelHosts(*reader, tree)) {
    Status written;
    if (auto folder = ScsiHostFolder(*reader, tree, host.name, DeviceOf(host.folder))) {
      written = used.Write(*folder, "scan", "- - -\n");
    } else {
      written = AttributeWriteStatus(
          reader->Exists(tree + "/class/scsi_host/" + host.name) ? kNotAnAttribute : ENOENT);
    }
    if (!written.ok())
      errors << "halvane: cannot rescan " << host.name << ": " << written.message() << "\n";
  }
}

}  // namespace halvane
