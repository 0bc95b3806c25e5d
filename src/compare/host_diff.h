// What differs between two models of a host: each entity matched by its lasting name, and each
// difference one record, sorted so that two runs over the same two hosts give the same list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compare/host_model.h"

namespace halvane {

// Where a difference is: the level of the entity, in the order the lines are grouped by.
enum class DiffLevel { kPort, kRemotePort, kNvmeController, kPath, kLun, kNamespace, kMap };
// What the difference is. A path is lost when it was usable and is gone or no longer usable;
// one gone that was not usable is removed. A moved name is a block device that another name
// stands for now (information, not a fault). A counter rose by its increase.
enum class DiffKind { kAdded, kRemoved, kLost, kChanged, kMoved, kRose };

std::string_view LevelName(DiffLevel level);
std::string_view KindName(DiffKind kind);

struct Difference {
  DiffLevel level = DiffLevel::kPort;
  DiffKind kind = DiffKind::kChanged;
  // The entity's names: our port (empty for what spans ports: LUNs, namespaces, maps), the
  // remote port, an NVMe subsystem's NQN, the LUN number or namespace id, and a unit's or a
  // map's key (WWID, uuid).
  std::string port, remote, nqn, address, key;
  // The value that changed (a field of kPortFields and the like, a counter, "usable_paths",
  // "path"), its texts before and after ("" for none), and a counter's increase.
  std::string field, before, after;
  std::uint64_t increase = 0;
};

// Every difference from before to after, sorted: per port in the order of its WWN, then what
// spans ports, each group by level, entity and field.
std::vector<Difference> CompareModels(const HostModel& before, const HostModel& after);

}  // namespace halvane
