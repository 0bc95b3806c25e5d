// Where a run finds the host's services: the environment, read once when the process starts and
// handed to every layer that needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/status.h"

namespace halvane {

struct HostEnvironment {
  // HALVANE_REGISTRY: a registry snapshot file that stands in for the host's registry for the
  // whole run; empty for the live host.
  std::string snapshot;
  // HALVANE_SYSFS_ROOT: where the live host's sysfs tree is.
  std::string sysfs_root = "/sys";
  // HALVANE_SERVICE_DIR: the folder of sockets through which services are looked up.
  std::string service_dir = "/run/kestrit/services";
  // SOURCE_DATE_EPOCH: the time a capture says it was taken, in seconds since 1970, instead of
  // the clock's, for captures that must come out the same every time; nothing when unset or not
  // a number of seconds.
  std::optional<std::int64_t> source_date_epoch;
  // HALVANE_BASELINE: the capture a check run is judged against when --baseline names none, so
  // that a service's unit can set it; empty for none.
  std::string baseline;
  // Why the registry variables cannot be used, when they cannot: one of them is set but empty.
  // A script that sets HALVANE_REGISTRY="$FILE" with FILE unset means a snapshot, and must not
  // read, rescan or change the live host instead.
  Status refused;
};

// The process's environment; a variable that is unset keeps its default. HALVANE_SERVICE_DIR set
// but empty keeps its default too; the registry's variables set but empty are refused.
HostEnvironment ReadHostEnvironment();

}  // namespace halvane
