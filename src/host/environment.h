// Where a run finds the host's services: the environment, read once when the process starts and
// handed to every layer that needs it.
#pragma once

#include <string>

namespace halvane {

struct HostEnvironment {
  // HALVANE_REGISTRY: a registry snapshot file that stands in for the host's registry for the
  // whole run; empty for the live host.
  std::string snapshot;
  // HALVANE_SYSFS_ROOT: where the live host's sysfs tree is.
  std::string sysfs_root = "/sys";
  // HALVANE_SERVICE_DIR: the folder of sockets through which services are looked up.
  std::string service_dir = "/run/kestrit/services";
};

// The process's environment; a variable that is unset or empty keeps its default.
HostEnvironment ReadHostEnvironment();

}  // namespace halvane
