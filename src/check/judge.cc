#include "check/judge.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "check/storage_host.h"
#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/map_walk.h"
#include "listing/target_walk.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace storage {

bool StorageHost::PathUsable(const Path& path, bool nvme) const {
  if (!Passes(ports_[path.port].state, "online") || !Passes(remotes_[path.remote].state, "online"))
    return false;
  if (nvme) {
    return Passes(path.state, "live") &&
           (path.access.empty() || path.access == "optimized" || path.access == "non_optimized");
  }
  // An ALUA target port group that is unavailable or offline takes no I/O, whatever the device.
  return Passes(path.state, "running") && path.access != "unavailable" && path.access != "offline";
}

Finding StorageHost::About(FindingCode code, const Port& port) const {
  Finding finding(code);
  finding.port_name = port.name;
  finding.scsi_host = port.scsi_host;
  return finding;
}

void StorageHost::Add(Verdict* verdict, Finding finding) const {
  // Most hosts accept nothing: no key is made for each of their findings.
  const bool accepted = RuleOf(finding.code).acceptable && !accepted_.empty() &&
                        accepted_.count(WwidKey(finding.wwid).value_or(""));
  (accepted ? verdict->accepted : verdict->findings).push_back(std::move(finding));
}

// "1:0:0:1 (sdb) transport_offline, 2:0:0:1 (sdd) running": paths and what they are.
static std::string DescribePaths(const std::vector<const Path*>& paths, bool states, bool access) {
  std::string list;
  for (const Path* path : paths) {
    if (!list.empty()) list += ", ";
    list += path->name;
    if (!path->block.empty() && path->block != path->name) list += " (" + path->block + ")";
    if (states && path->state) list += " " + *path->state;
    if (access && !path->access.empty()) list += " " + path->access;
  }
  return list;
}

namespace {

// What a unit's paths show, taken together: the facts its rules judge.
struct UnitPaths {
  UnitPaths(const Unit& unit, bool nvme, const std::vector<Port>& ports)
      : unit(unit), nvme(nvme), ports(ports) {}

  const Unit& unit;
  bool nvme;
  const std::vector<Port>& ports;
  std::vector<const Path*> all, usable;
  std::set<std::size_t> physical_ports, fabrics_unknown;  // of the usable paths
  std::set<std::string> fabrics;
  std::set<std::uint64_t> sizes;
  bool joined = false, access_published = false, optimized = false;
};

UnitPaths Survey(const StorageHost& host, const Unit& unit, bool nvme) {
  UnitPaths paths(unit, nvme, host.ports());
  for (const Path& path : unit.paths) {
    paths.all.push_back(&path);
    paths.joined = paths.joined || path.joined;
    paths.access_published = paths.access_published || !path.access.empty();
    if (path.size && *path.size > 0) paths.sizes.insert(*path.size);
    if (!host.PathUsable(path, nvme)) continue;
    paths.usable.push_back(&path);
    const std::size_t physical = paths.ports[path.port].physical;
    paths.physical_ports.insert(physical);
    if (paths.ports[physical].fabric.empty()) paths.fabrics_unknown.insert(physical);
    paths.fabrics.insert(paths.ports[physical].fabric);
    paths.optimized = paths.optimized || path.access == (nvme ? "optimized" : "active/optimized");
  }
  return paths;
}

// A SCSI path to the unit whose device is not running, from the finding about its port.
Finding PathNotRunning(Finding finding, const RemotePort& remote, const Path& path,
                       const Unit& unit) {
  finding.remote_port_name = remote.name;
  finding.scsi_address = path.name;
  finding.block_device = path.block;
  finding.wwid = unit.wwid;
  finding.map = unit.map;
  finding.state = *path.state;
  return finding;
}

// The finding code, with its rule's severity, about what base names (the unit), saying detail.
Finding Made(Finding base, FindingCode code, std::string detail) {
  base.code = code;
  base.severity = RuleOf(code).severity;
  base.detail = std::move(detail);
  return base;
}

// A unit still reached is judged for redundancy, unless it is one whose paths are not.
bool JudgedForRedundancy(const UnitPaths& p) {
  return !p.usable.empty() && p.unit.judged_for_redundancy;
}

std::optional<Finding> NoUsablePath(const UnitPaths& p, const Finding& base) {
  if (!p.usable.empty()) return std::nullopt;
  return Made(base, p.nvme ? FindingCode::kNamespaceNoUsablePath : FindingCode::kLunNoUsablePath,
              DescribePaths(p.all, true, true));
}

std::optional<Finding> SinglePort(const UnitPaths& p, const Finding& base) {
  if (!JudgedForRedundancy(p) || p.physical_ports.size() != 1) return std::nullopt;
  const Port& port = p.ports[*p.physical_ports.begin()];
  Finding finding =
      Made(base, p.nvme ? FindingCode::kNamespaceSinglePort : FindingCode::kLunSinglePort,
           DescribePaths(p.usable, false, false));
  finding.port_name = port.name;
  finding.scsi_host = port.scsi_host;
  return finding;
}

std::optional<Finding> SingleFabric(const UnitPaths& p, const Finding& base) {
  if (!JudgedForRedundancy(p) || p.physical_ports.size() == 1 || !p.fabrics_unknown.empty() ||
      p.fabrics.size() != 1)
    return std::nullopt;
  std::string ports;
  for (const std::size_t i : p.physical_ports) {
    const Port& port = p.ports[i];
    ports += (ports.empty() ? "ports " : ", ") + port.name;
    if (port.scsi_host) ports += " (host" + std::to_string(*port.scsi_host) + ")";
  }
  Finding finding = Made(
      base, p.nvme ? FindingCode::kNamespaceSingleFabric : FindingCode::kLunSingleFabric, ports);
  finding.fabric_name = *p.fabrics.begin();
  return finding;
}

// Several paths that nothing joins: each is a device of its own, and a path's failure fails
// whatever uses that device. Only Linux hosts say what joins them.
std::optional<Finding> NotMultipathed(const UnitPaths& p, const Finding& base) {
  if (!p.unit.judged_for_redundancy || !p.unit.linux_unit || p.unit.paths.size() < 2 || p.joined)
    return std::nullopt;
  return Made(base,
              p.nvme ? FindingCode::kNamespaceNotMultipathed : FindingCode::kLunNotMultipathed,
              std::to_string(p.all.size()) + (p.nvme ? " controllers: " : " paths: ") +
                  DescribePaths(p.all, false, false));
}

std::optional<Finding> NoOptimizedPath(const UnitPaths& p, const Finding& base) {
  if (p.usable.empty() || !p.access_published || p.optimized) return std::nullopt;
  return Made(base,
              p.nvme ? FindingCode::kNamespaceNoOptimizedPath : FindingCode::kLunNoOptimizedPath,
              DescribePaths(p.usable, false, true));
}

std::optional<Finding> SizeMismatch(const UnitPaths& p, const Finding& base) {
  if (p.nvme || p.sizes.size() <= 1) return std::nullopt;
  std::string list;
  for (const Path* path : p.all) {
    if (path->size)
      list +=
          (list.empty() ? "" : ", ") + path->name + " " + std::to_string(*path->size) + " bytes";
  }
  return Made(base, FindingCode::kLunSizeMismatch, list);
}

// The rules a unit is judged by, in the order their findings are told. A unit that a rule
// marked as breaking redundancy finds fault with is not counted redundant.
struct UnitRule {
  std::optional<Finding> (*find)(const UnitPaths& paths, const Finding& base);
  bool breaks_redundancy;
};
constexpr UnitRule kUnitRules[] = {
    {NoUsablePath, false},  {SinglePort, true},       {SingleFabric, true},
    {NotMultipathed, true}, {NoOptimizedPath, false}, {SizeMismatch, false},
};

// What each port and remote port carries, each unit once.
void CountCarried(const Unit& unit, bool nvme, bool lost, std::vector<Port>& ports,
                  std::vector<RemotePort>& remotes) {
  std::set<std::size_t> seen_ports, seen_remotes;
  for (const Path& path : unit.paths) {
    for (auto [seen, carried] :
         {std::pair(seen_ports.insert(path.port).second, &ports[path.port].carried),
          std::pair(seen_remotes.insert(path.remote).second, &remotes[path.remote].carried)}) {
      if (!seen) continue;
      (nvme ? carried->namespaces : carried->luns) += 1;
      (nvme ? carried->lost_namespaces : carried->lost_luns) += lost;
    }
  }
}

}  // namespace

void StorageHost::JudgeUnit(Unit& unit, bool nvme, Verdict* verdict) {
  if (std::none_of(unit.paths.begin(), unit.paths.end(),
                   [&](const Path& p) { return ports_[p.port].in_scope; }))
    return;
  for (const Path& path : unit.paths) {
    if (nvme || Passes(path.state, "running") || !ports_[path.port].in_scope) continue;
    Add(verdict, PathNotRunning(About(FindingCode::kLunNotRunning, ports_[path.port]),
                                remotes_[path.remote], path, unit));
  }
  const UnitPaths paths = Survey(*this, unit, nvme);
  Finding base(nvme ? FindingCode::kNamespaceNoUsablePath : FindingCode::kLunNoUsablePath);
  base.wwid = unit.wwid;
  base.map = unit.map;
  base.nsid = unit.nsid;
  bool redundant = JudgedForRedundancy(paths);
  for (const UnitRule& rule : kUnitRules) {
    std::optional<Finding> finding = rule.find(paths, base);
    if (!finding) continue;
    redundant = redundant && !rule.breaks_redundancy;
    Add(verdict, std::move(*finding));
  }
  Count(verdict, nvme ? CountName::kNamespaces : CountName::kLuns) += 1;
  Count(verdict, nvme ? CountName::kNamespacesRedundant : CountName::kLunsRedundant) += redundant;
  CountCarried(unit, nvme, paths.usable.empty(), ports_, remotes_);
}

void StorageHost::JudgeMaps(Verdict* verdict) {
  std::optional<std::string> only_port;
  for (const Port& port : ports_) {
    if (scope_.port && port.in_scope) only_port = port.name;
  }
  // A port named with -c that has no name of its own has no path to show a map by.
  if (scope_.port && !only_port) only_port = "";
  ForEachMap(registry_, only_port, [&](const MapView& map) {
    const std::size_t active = map.ActivePaths(), paths = map.paths().size();
    // A path whose state could not be read is neither active nor down, as in the LUN rule: the
    // failed read is a finding of its own, and nothing is judged on a guess.
    std::size_t unknown = 0;
    for (const Dictionary* path : map.paths()) unknown += MapView::PathStateUnreadable(*path);
    Count(verdict, CountName::kMaps) += 1;
    if (active + unknown == paths && paths > 0) return;
    Count(verdict, CountName::kMapsDegraded) += 1;
    Finding finding(active + unknown == 0 ? FindingCode::kMapNoActivePath
                                          : FindingCode::kMapDegraded);
    finding.map = TextOrEmpty(map.Own(kMapNameKey));
    finding.dm = TextOrEmpty(map.Own(kMapDeviceKey));
    finding.wwid = map.Wwid().value_or("");
    std::string failed;
    for (const Dictionary* path : map.paths()) {
      const std::optional<std::string> state = MapView::PathState(*path);
      if (state == "running" || state == "live" || MapView::PathStateUnreadable(*path)) continue;
      std::string name = TextOrEmpty(MemberValue(*path, kBlockDeviceKey));
      std::string device = TextOrEmpty(MemberValue(*path, kScsiAddressKey));
      if (device.empty()) device = TextOrEmpty(MemberValue(*path, kNvmeControllerKey));
      if (!device.empty()) name += " (" + device + ")";
      // A path that is no SCSI device or NVMe namespace halvane holds has no state to be in.
      const std::string why =
          device.empty() ? "with no SCSI or NVMe device" : state.value_or("in no known state");
      failed += (failed.empty() ? "" : ", ") + name + " " + why;
    }
    if (paths == 0) {
      finding.detail = "it has no path at all";
    } else if (active + unknown == 0) {
      finding.detail = failed;
    } else {
      finding.detail = std::to_string(active) + " of its " + std::to_string(paths) +
                       " paths active; not active: " + failed;
    }
    Add(verdict, std::move(finding));
  });
}

// "no LUN or namespace is reached through it", "the 4 LUNs reached through it are each still
// usable another way", "2 of the 4 LUNs reached through it have no usable path left": how says
// where they are.
static std::string UnitsThroughDetail(const UnitsThrough& c, const std::string& how) {
  if (c.luns + c.namespaces == 0) return "no LUN or namespace is " + how;
  const bool lost = c.lost_luns + c.lost_namespaces > 0;
  const std::tuple<std::uint64_t, std::uint64_t, const char*, const char*> kinds[] = {
      {c.lost_luns, c.luns, "LUN", "LUNs"},
      {c.lost_namespaces, c.namespaces, "namespace", "namespaces"}};
  std::string text;
  for (const auto& [part, all, one, many] : kinds) {
    if (all == 0) continue;
    text += text.empty() ? "" : " and ";
    text += (lost ? std::to_string(part) + " of the " : std::string("the ")) + std::to_string(all) +
            " " + (all == 1 ? one : many);
  }
  const std::uint64_t lost_count = c.lost_luns + c.lost_namespaces;
  if (lost) return text + " " + how + (lost_count == 1 ? " has" : " have") + " no usable path left";
  return text + " " + how +
         (c.luns + c.namespaces == 1 ? " is still usable another way"
                                     : " are each still usable another way");
}

void StorageHost::JudgePorts(Verdict* verdict) {
  for (const Port& port : ports_) {
    if (!port.in_scope) continue;
    Count(verdict, CountName::kPorts) += 1;
    Count(verdict, CountName::kPortsOnline) += Passes(port.state, "online");
    if (Passes(port.state, "online")) continue;
    Finding finding = About(FindingCode::kPortNotOnline, port);
    finding.state = *port.state;
    if (port.carried.lost_luns + port.carried.lost_namespaces > 0)
      finding.severity = CheckStatus::kCritical;
    finding.detail = UnitsThroughDetail(port.carried, "reached through it");
    Add(verdict, std::move(finding));
  }
  for (const RemotePort& remote : remotes_) {
    if (!ports_[remote.port].in_scope) continue;
    Count(verdict, CountName::kRemotePorts) += 1;
    Count(verdict, CountName::kRemotePortsOnline) += Passes(remote.state, "online");
    if (Passes(remote.state, "online")) continue;
    Finding finding = About(FindingCode::kRemotePortNotOnline, ports_[remote.port]);
    finding.remote_port_name = remote.name;
    finding.state = *remote.state;
    if (remote.carried.lost_luns + remote.carried.lost_namespaces > 0)
      finding.severity = CheckStatus::kCritical;
    finding.detail = UnitsThroughDetail(remote.carried, "behind it");
    Add(verdict, std::move(finding));
  }
}

void StorageHost::Judge(Verdict* verdict, bool ordered) {
  verdict->judged = true;
  for (Finding& finding : walk_findings_) Add(verdict, std::move(finding));
  for (Unit& lun : luns_) JudgeUnit(lun, false, verdict);
  for (Unit& space : namespaces_) JudgeUnit(space, true, verdict);
  JudgeMaps(verdict);
  JudgePorts(verdict);
  Count(verdict, CountName::kLuns) += luns_without_wwid_;
  Count(verdict, CountName::kLunsWithoutWwid) = luns_without_wwid_;
  Count(verdict, CountName::kLunPaths) = lun_paths_;
  Count(verdict, CountName::kLunPathsRunning) = lun_paths_running_;
  Count(verdict, CountName::kNvmeControllers) = controllers_;
  Count(verdict, CountName::kNvmeControllersLive) = controllers_live_;
  for (const ReadFailure& failure : registry_.FailedReads().all()) {
    Finding finding(FindingCode::kReadFailed);
    finding.detail = failure.path + ": " + failure.reason;
    verdict->findings.push_back(std::move(finding));
  }
  Conclude(verdict, ordered);
}

}  // namespace storage

Verdict storage::JudgedWalk(StorageHost& host, const CheckScope& scope, bool ordered) {
  if (!host.Gather()) {
    // A host whose ports could not be listed is not a host without ports.
    const ReadFailures& failed = host.registry().FailedReads();
    if (!failed.empty()) {
      const ReadFailure& first = failed.all().front();
      return UnknownVerdict("cannot read " + first.path + ": " + first.reason);
    }
    return UnknownVerdict("no Fibre Channel port in " + scope.place);
  }
  Verdict verdict;
  host.Judge(&verdict, ordered);
  return verdict;
}

Verdict JudgeStorage(DeviceRegistry& registry, const CheckScope& scope) {
  storage::StorageHost host(registry, scope);
  return storage::JudgedWalk(host, scope);
}

}  // namespace halvane
