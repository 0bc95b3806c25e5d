#include "host/host_rescan.h"

#include <cstdlib>
#include <iostream>

#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {
namespace {

class SysfsHostRescan : public HostRescan {
 public:
  void RescanFibreChannelHosts() override {
    const char* snapshot = std::getenv("HALVANE_REGISTRY");
    if (snapshot != nullptr && *snapshot != '\0') return;
    const char* root = std::getenv("HALVANE_SYSFS_ROOT");
    RescanSysfsHosts((root != nullptr && *root != '\0') ? root : "/sys", ProcessAttributeWriter(),
                     std::cerr);
  }
};

}  // namespace

HostRescan& ProcessHostRescan() {
  static SysfsHostRescan rescan;
  return rescan;
}

}  // namespace halvane
