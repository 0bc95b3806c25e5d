// Asking the kernel to look again for the devices behind the host's Fibre Channel adapters, as
// part of -r. Abstract so that the front end can be tested without a host to rescan.
#pragma once

namespace halvane {

class HostRescan {
 public:
  virtual ~HostRescan() = default;
  // Rescans every Fibre Channel host of the live registry. Reports each host that could not be
  // asked on standard error; the run goes on either way.
  virtual void RescanFibreChannelHosts() = 0;
};

// The sysfs tree named by HALVANE_SYSFS_ROOT (default /sys); nothing at all when the run reads
// a snapshot (HALVANE_REGISTRY), which has no host behind it.
HostRescan& ProcessHostRescan();

}  // namespace halvane
