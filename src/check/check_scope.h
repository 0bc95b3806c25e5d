// What a --check run judges: every port or the one named, with the WWIDs whose redundancy the
// administrator accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"

namespace halvane {

struct CheckScope {
  // The port named with -c: its own findings, and those of the LUNs, namespaces and maps that
  // have a path through it, judged with all their paths. Empty: every port.
  RegistryEntry port;
  // WWIDs whose redundancy findings the administrator accepts, as typed.
  std::vector<std::string> accepted;
  // Where ports were looked for, for the verdict on a host without any ("class/fc_host under
  // /sys", "the snapshot host.json").
  std::string place;
};

// What an accepted WWID is compared by, whichever form it was typed in: the kernel's
// ("naa.600a...", "eui.0025...", "t10.ACME...") or multipath's and udev's ("3600a...",
// "20025...", "1ACME..."), hexadecimal digits in either case; an NVMe namespace's id as the kernel
// writes it ("eui.", "uuid.", "nvme."), and a unique id as the listing shows it ("0x600A...") for a
// LUN that has no WWID. Nothing for a text that is none of these.
std::optional<std::string> WwidKey(std::string_view text);

}  // namespace halvane
