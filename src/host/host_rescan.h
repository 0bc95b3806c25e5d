// Asking the kernel to look again for the devices behind the host's Fibre Channel adapters, as
// part of -r. Abstract so that the front end can be tested without a host to rescan.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/environment.h"

namespace halvane {

class HostRescan {
 public:
  virtual ~HostRescan() = default;
  // Rescans every Fibre Channel host of the live registry, or only the SCSI host numbered host,
  // and waits for the kernel's scans. Answers why each host that could not be asked was not (or
  // why none could be: the environment's refusal, a tree that cannot be used); the run goes on
  // either way.
  virtual std::vector<Status> RescanFibreChannelHosts(std::optional<std::uint64_t> host) = 0;
  // What RescanFibreChannelHosts would do, with nothing rescanned: a line of plan for each host
  // whose scan would be written, and the same failures, the environment's refusal included.
  struct Plan {
    std::string plan;
    std::vector<Status> failures;
  };
  virtual Plan DescribeRescan(std::optional<std::uint64_t> host) = 0;
};

// The sysfs tree the environment names; nothing at all when the run reads a snapshot, which has
// no host behind it.
std::unique_ptr<HostRescan> MakeHostRescan(const HostEnvironment& environment);

}  // namespace halvane
