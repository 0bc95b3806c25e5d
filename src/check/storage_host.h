// What --check gathers before it judges: every Fibre Channel port, the remote ports each reaches,
// and every LUN and NVMe namespace with all its paths, joined across ports by WWID (a namespace's
// by its unique id). The walk that fills it and the judging that reads it are apart, each in a
// file of its own; nothing here is for use outside the check.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/text.h"
#include "check/check_scope.h"
#include "check/findings.h"
#include "listing/inventory_values.h"
#include "listing/target_walk.h"
#include "registry/device_registry.h"
#include "registry/value_text.h"

namespace halvane::storage {

inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

inline std::string TextOrEmpty(const std::optional<PropertyValue>& value) {
  const std::optional<std::string_view> text = TextOf(value);
  return text ? std::string(*text) : std::string();
}

inline std::optional<std::uint64_t> Unsigned(const std::optional<PropertyValue>& value) {
  const std::optional<std::int64_t> number = value ? value->AsInt64() : std::nullopt;
  return number && *number >= 0 ? std::optional<std::uint64_t>(*number) : std::nullopt;
}

// Whether a state passes as good: it is the one that lets I/O through, or none is published (which
// is not judged).
inline bool Passes(const std::optional<std::string>& state, std::string_view good) {
  return !state || *state == good;
}

// A Fibre Channel port, its remote ports, and how many LUNs and namespaces reach through each,
// and of those how many have no usable path left.
struct UnitsThrough {
  std::uint64_t luns = 0, lost_luns = 0, namespaces = 0, lost_namespaces = 0;
};
struct Port {
  std::string name;
  std::optional<std::uint64_t> scsi_host;
  std::optional<std::string> state;
  std::string speed;          // as the listing shows it
  std::string fabric;         // the fabric's name, when the port publishes a real one
  std::string physical_name;  // an NPIV virtual port's physical port
  std::size_t physical = 0;   // the port that counts for redundancy: itself, or its physical one
  bool in_scope = true;
  UnitsThrough carried;
};
struct RemotePort {
  std::size_t port;
  std::string name;
  std::optional<std::string> state;
  UnitsThrough carried;
  std::vector<std::string> roles;
};

// One path of a LUN or a namespace: a SCSI device, or a namespace as one controller has it.
struct Path {
  std::size_t port = 0, remote = 0;
  std::string name;                  // the SCSI address, or the NVMe controller
  std::string block;                 // its block device
  std::optional<std::string> state;  // the SCSI device's, or the NVMe controller's
  bool state_unreadable = false;     // its state could not be read: not judged on a guess
  std::string access;                // the ALUA or ANA state, as the document writes it
  std::optional<std::uint64_t> size;
  bool joined = false;  // a multipath map holds it, or native NVMe multipath does
};

// A logical unit or a namespace: every path the host has to it.
struct Unit {
  std::string wwid;
  std::string map, dm;
  std::optional<std::uint64_t> nsid;
  bool judged_for_redundancy = true;
  bool linux_unit = false;  // on a host where device-mapper multipath joins paths
  std::string subsystem;    // a namespace's NVMe subsystem NQN
  std::vector<Path> paths;
};

// What the walk gathered, by index, in walk order.
class StorageHost {
 public:
  StorageHost(DeviceRegistry& registry, const CheckScope& scope)
      : registry_(registry), scope_(scope) {
    for (const std::string& wwid : scope.accepted) {
      if (auto key = WwidKey(wwid)) accepted_.insert(*key);
    }
  }

  // Reads every Fibre Channel port and what it reaches; false when there is none.
  bool Gather();
  // The verdict on what the walk found; ordered as Conclude says.
  void Judge(Verdict* verdict, bool ordered = true);

  // The registry walked, whose failed reads the verdict counts.
  DeviceRegistry& registry() const { return registry_; }
  // What the walk gathered, for the picture of the host that the verdict colours.
  const std::vector<Port>& ports() const { return ports_; }
  const std::vector<RemotePort>& remotes() const { return remotes_; }
  const std::vector<Unit>& luns() const { return luns_; }
  const std::vector<Unit>& namespaces() const { return namespaces_; }
  // Whether I/O can take the path: its port, its remote port and its device all let it through.
  bool PathUsable(const Path& path, bool nvme) const;

 private:
  std::size_t AddRemote(std::size_t port, const TargetView& remote);
  void AddLun(std::size_t port, std::size_t remote, const LunView& unit);
  void AddNvmeController(std::size_t port, const TargetView& controller);
  void JudgeUnit(Unit& unit, bool nvme, Verdict* verdict);
  void JudgeMaps(Verdict* verdict);
  void JudgePorts(Verdict* verdict);
  void Add(Verdict* verdict, Finding finding) const;
  Finding About(FindingCode code, const Port& port) const;
  std::uint64_t& Count(Verdict* verdict, CountName name) const {
    return verdict->counts[static_cast<std::size_t>(name)];
  }

  DeviceRegistry& registry_;
  const CheckScope& scope_;
  std::set<std::string> accepted_;
  std::vector<Port> ports_;
  std::vector<RemotePort> remotes_;
  std::map<std::pair<std::size_t, std::string>, std::size_t> remote_index_;
  std::vector<Unit> luns_, namespaces_;
  std::unordered_map<std::string, std::size_t> lun_index_, namespace_index_;
  std::vector<Finding> walk_findings_;  // of single paths and controllers, found on the way
  std::uint64_t luns_without_wwid_ = 0, lun_paths_ = 0, lun_paths_running_ = 0;
  std::uint64_t controllers_ = 0, controllers_live_ = 0;
};

// The verdict on what host finds: UNKNOWN when it finds no Fibre Channel port.
Verdict JudgedWalk(StorageHost& host, const CheckScope& scope, bool ordered = true);

}  // namespace halvane::storage
