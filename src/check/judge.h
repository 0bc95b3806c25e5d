// The verdict on a host's storage (--check): every Fibre Channel port, the remote ports each
// reaches, every SCSI LUN and NVMe namespace with all its paths through every port, and the
// multipath maps, judged together. A LUN is one logical unit however many paths reach it: its
// paths are joined by its WWID (a namespace's by its unique id), so redundancy is judged across
// ports, as an administrator asks it before taking one of them down.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/check_scope.h"
#include "check/findings.h"
#include "registry/device_registry.h"

namespace halvane {

// The verdict; UNKNOWN when there is no Fibre Channel port to judge, or none can be listed.
Verdict JudgeStorage(DeviceRegistry& registry, const CheckScope& scope);

}  // namespace halvane
