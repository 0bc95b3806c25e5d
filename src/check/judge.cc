#include "check/judge.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/json_writer.h"
#include "listing/map_walk.h"
#include "listing/target_walk.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

std::string Text(const std::optional<PropertyValue>& value) {
  const std::optional<std::string_view> text = TextOf(value);
  return text ? std::string(*text) : std::string();
}

std::optional<std::uint64_t> Unsigned(const std::optional<PropertyValue>& value) {
  const std::optional<std::int64_t> number = value ? value->AsInt64() : std::nullopt;
  return number && *number >= 0 ? std::optional<std::uint64_t>(*number) : std::nullopt;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

// A state that lets I/O through, or none published, which is not judged.
bool Fine(const std::optional<std::string>& state, std::string_view good) {
  return !state || *state == good;
}

// A Fibre Channel port, its remote ports, and how many LUNs and namespaces reach through each,
// and of those how many have no usable path left.
struct Carried {
  std::uint64_t luns = 0, lost_luns = 0, namespaces = 0, lost_namespaces = 0;
};
struct Port {
  std::string name;
  std::optional<std::uint64_t> scsi_host;
  std::optional<std::string> state;
  std::string fabric;         // the fabric's name, when the port publishes a real one
  std::string physical_name;  // an NPIV virtual port's physical port
  std::size_t physical = 0;   // the port that counts for redundancy: itself, or its physical one
  bool in_scope = true;
  Carried carried;
};
struct RemotePort {
  std::size_t port;
  std::string name;
  std::optional<std::string> state;
  Carried carried;
};

// One path of a LUN or a namespace: a SCSI device, or a namespace as one controller has it.
struct Path {
  std::size_t port = 0, remote = 0;
  std::string name;                  // the SCSI address, or the NVMe controller
  std::string block;                 // its block device
  std::optional<std::string> state;  // the SCSI device's, or the NVMe controller's
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
  std::vector<Path> paths;
};

// What the walk gathered, by index, in walk order.
class Host {
 public:
  Host(DeviceRegistry& registry, const CheckScope& scope) : registry_(registry), scope_(scope) {
    for (const std::string& wwid : scope.accepted) {
      if (auto key = WwidKey(wwid)) accepted_.insert(*key);
    }
  }

  // Reads every Fibre Channel port and what it reaches; false when there is none.
  bool Walk();
  void Judge(Verdict* verdict);

 private:
  std::size_t AddRemote(std::size_t port, const TargetView& remote);
  void AddLun(std::size_t port, std::size_t remote, const LunView& unit);
  void AddNvmeController(std::size_t port, const TargetView& controller);
  bool PathUsable(const Path& path, bool nvme) const;
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

bool Host::Walk() {
  StatusOr<RegistryIterator> entries = DiscoverControllers(registry_);
  if (!entries.ok()) return false;
  std::vector<RegistryEntry> fibre_channel;
  for (RegistryEntry entry = entries->Next(); entry; entry = entries->Next()) {
    if (!registry_.ConformsTo(entry, kScsiControllerClass) ||
        !HasFibreChannelInterconnect(registry_, entry))
      continue;
    const StatusOr<Dictionary> record = BuildPortInfo(registry_, entry);
    if (!record.ok()) continue;
    Port port;
    port.name = PortNameText(*record);
    port.scsi_host = Unsigned(MemberValue(*record, kRecordScsiHostNumber));
    port.state = PortState(MemberValue(*record, kRecordPortStatus));
    // The kernel's zero and all-ones names are no fabric.
    const std::optional<std::string> fabric = KnownWWN(MemberValue(*record, kRecordFabricName));
    if (fabric && *fabric != "00:00:00:00:00:00:00:00") port.fabric = *fabric;
    if (auto physical = KnownWWN(MemberValue(*record, kRecordPhysicalPortName)))
      port.physical_name = *physical;
    port.in_scope = !scope_.port || scope_.port.impl() == entry.impl();
    ports_.push_back(std::move(port));
    fibre_channel.push_back(std::move(entry));
  }
  if (ports_.empty()) return false;
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    ports_[i].physical = i;
    for (std::size_t j = 0; j < ports_.size() && !ports_[i].physical_name.empty(); ++j) {
      if (ports_[j].name == ports_[i].physical_name) ports_[i].physical = j;
    }
  }
  for (std::size_t i = 0; i < fibre_channel.size(); ++i) {
    ForEachTarget(
        registry_, fibre_channel[i], [] {},
        [&](const TargetView& target) {
          const std::size_t remote = AddRemote(i, target);
          ForEachLun(registry_, target.target,
                     [&](const LunView& unit) { AddLun(i, remote, unit); });
        });
    ForEachNvmeController(registry_, fibre_channel[i],
                          [&](const TargetView& controller) { AddNvmeController(i, controller); });
  }
  return true;
}

std::size_t Host::AddRemote(std::size_t port, const TargetView& remote) {
  const std::optional<std::string> name = KnownWWN(remote.Port(kRemotePortNameKey));
  // A remote port without a name is one of its own.
  const std::string key = name ? *name : "#" + std::to_string(remotes_.size());
  const auto [at, added] = remote_index_.emplace(std::make_pair(port, key), remotes_.size());
  if (added)
    remotes_.push_back({port, name.value_or(""), PortState(remote.Port(kRemotePortStateKey)), {}});
  return at->second;
}

void Host::AddLun(std::size_t port, std::size_t remote, const LunView& unit) {
  Path path;
  path.port = port;
  path.remote = remote;
  path.name = Text(unit.Own(kScsiAddressKey));
  // A registry without SCSI addresses names a path by its LUN and remote port.
  if (path.name.empty()) {
    path.name = "LUN " + unit.Address().value_or("?");
    if (!remotes_[remote].name.empty()) path.name += " of " + remotes_[remote].name;
  }
  path.block = Text(unit.Own(kBlockDeviceKey));
  path.state = UnitState(unit.Own(kScsiDeviceStateKey));
  path.access = Lower(Text(unit.Search(kAccessStateKey)));
  path.size = Unsigned(unit.Own(kCapacityKey));
  const std::optional<PropertyValue> map = unit.Own(kMultipathMapKey);
  const Dictionary* held = map ? map->AsDictionary() : nullptr;
  path.joined = held != nullptr;
  if (ports_[port].in_scope) {
    ++lun_paths_;
    lun_paths_running_ += Fine(path.state, "running");
  }

  std::string wwid = Text(unit.Own(kWorldWideIdKey));
  if (wwid.empty()) wwid = unit.UniqueId().value_or("");
  if (wwid.empty()) {
    // Nothing joins it to its other paths: it is counted, and only its own state is judged.
    luns_without_wwid_ += ports_[port].in_scope;
    if (!Fine(path.state, "running") && ports_[port].in_scope) {
      Finding finding = About(FindingCode::kLunNotRunning, ports_[port]);
      finding.remote_port_name = remotes_[remote].name;
      finding.scsi_address = path.name;
      finding.block_device = path.block;
      finding.state = *path.state;
      walk_findings_.push_back(std::move(finding));
    }
    return;
  }
  const auto [at, added] = lun_index_.emplace(wwid, luns_.size());
  if (added) {
    Unit& lun = luns_.emplace_back();
    lun.wwid = std::move(wwid);
    // Tape drives, changers, enclosures and array controllers are reached one way on purpose:
    // only block storage is judged for redundancy.
    const std::optional<std::string> type = UnitType(unit.Own(kPeripheralTypeKey));
    lun.judged_for_redundancy =
        !type || *type == "disk" || *type == "simplified_disk" || *type == "zoned_disk";
    lun.linux_unit = registry_.ConformsTo(unit.unit, kSysfsLogicalUnitClass);
  }
  Unit& lun = luns_[at->second];
  if (held && lun.map.empty()) {
    lun.map = Text(MemberValue(*held, kMapNameKey));
    lun.dm = Text(MemberValue(*held, kMapDeviceKey));
  }
  lun.paths.push_back(std::move(path));
}

void Host::AddNvmeController(std::size_t port, const TargetView& controller) {
  const std::size_t remote = AddRemote(port, controller);
  const std::string name = Text(controller.Own(kNvmeControllerKey));
  const std::optional<std::string> state = ControllerState(controller.Own(kNvmeControllerStateKey));
  if (ports_[port].in_scope) {
    ++controllers_;
    controllers_live_ += Fine(state, "live");
    if (!Fine(state, "live")) {
      Finding finding = About(FindingCode::kNvmeControllerNotLive, ports_[port]);
      finding.remote_port_name = remotes_[remote].name;
      finding.nvme_controller = name;
      finding.state = *state;
      walk_findings_.push_back(std::move(finding));
    }
  }
  ForEachLun(registry_, controller.target, [&](const LunView& space) {
    std::string id = Text(space.Own(kWorldWideIdKey));
    if (id.empty()) id = space.UniqueId().value_or("");
    Path path;
    path.port = port;
    path.remote = remote;
    path.name = name;
    // Native multipath's path device is the controller's own; the head is every controller's.
    path.block = Text(space.Own(kPathDeviceKey));
    if (path.block.empty()) path.block = Text(space.Own(kBlockDeviceKey));
    path.state = state;
    path.access = AnaState(space.Own(kAnaStateKey)).value_or("");
    path.size = Unsigned(space.Own(kCapacityKey));
    const std::optional<PropertyValue> map = space.Own(kMultipathMapKey);
    const Dictionary* held = map ? map->AsDictionary() : nullptr;
    // A path device is native multipath's: the head joins the controllers' paths.
    path.joined = held != nullptr || space.Own(kPathDeviceKey).has_value();
    const auto [at, added] = namespace_index_.emplace(id, namespaces_.size());
    if (added) {
      Unit& unit = namespaces_.emplace_back();
      unit.wwid = id;
      unit.nsid = Unsigned(space.Own(kNamespaceIdKey));
      // A namespace without any id cannot be joined to its other paths.
      unit.judged_for_redundancy = !id.empty();
      unit.linux_unit = true;
    }
    Unit& unit = namespaces_[at->second];
    if (held && unit.map.empty()) {
      unit.map = Text(MemberValue(*held, kMapNameKey));
      unit.dm = Text(MemberValue(*held, kMapDeviceKey));
    }
    unit.paths.push_back(std::move(path));
  });
}

bool Host::PathUsable(const Path& path, bool nvme) const {
  if (!Fine(ports_[path.port].state, "online") || !Fine(remotes_[path.remote].state, "online"))
    return false;
  if (nvme) {
    return Fine(path.state, "live") &&
           (path.access.empty() || path.access == "optimized" || path.access == "non_optimized");
  }
  // An ALUA target port group that is unavailable or offline takes no I/O, whatever the device.
  return Fine(path.state, "running") && path.access != "unavailable" && path.access != "offline";
}

Finding Host::About(FindingCode code, const Port& port) const {
  Finding finding(code);
  finding.port_name = port.name;
  finding.scsi_host = port.scsi_host;
  return finding;
}

void Host::Add(Verdict* verdict, Finding finding) const {
  const bool accepted =
      RuleOf(finding.code).acceptable && accepted_.count(WwidKey(finding.wwid).value_or(""));
  (accepted ? verdict->accepted : verdict->findings).push_back(std::move(finding));
}

// "1:0:0:1 (sdb) transport_offline, 2:0:0:1 (sdd) running": paths and what they are.
std::string PathList(const std::vector<const Path*>& paths, bool states, bool access) {
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

void Host::JudgeUnit(Unit& unit, bool nvme, Verdict* verdict) {
  if (std::none_of(unit.paths.begin(), unit.paths.end(),
                   [&](const Path& p) { return ports_[p.port].in_scope; }))
    return;
  const FindingCode no_usable_path =
      nvme ? FindingCode::kNamespaceNoUsablePath : FindingCode::kLunNoUsablePath;
  std::vector<const Path*> all, usable;
  std::set<std::size_t> physical_ports, fabrics_unknown;
  std::set<std::string> fabrics;
  std::set<std::uint64_t> sizes;
  bool joined = false, access_published = false, optimized = false;
  for (const Path& path : unit.paths) {
    all.push_back(&path);
    joined = joined || path.joined;
    access_published = access_published || !path.access.empty();
    if (path.size && *path.size > 0) sizes.insert(*path.size);
    if (!nvme && !Fine(path.state, "running") && ports_[path.port].in_scope) {
      Finding finding = About(FindingCode::kLunNotRunning, ports_[path.port]);
      finding.remote_port_name = remotes_[path.remote].name;
      finding.scsi_address = path.name;
      finding.block_device = path.block;
      finding.wwid = unit.wwid;
      finding.map = unit.map;
      finding.state = *path.state;
      Add(verdict, std::move(finding));
    }
    if (!PathUsable(path, nvme)) continue;
    usable.push_back(&path);
    const std::size_t physical = ports_[path.port].physical;
    physical_ports.insert(physical);
    if (ports_[physical].fabric.empty()) fabrics_unknown.insert(physical);
    fabrics.insert(ports_[physical].fabric);
    optimized = optimized || path.access == (nvme ? "optimized" : "active/optimized");
  }
  Finding finding(no_usable_path);
  finding.wwid = unit.wwid;
  finding.map = unit.map;
  finding.nsid = unit.nsid;
  const auto add = [&](FindingCode code, std::string detail) {
    Finding copy = finding;
    copy.code = code;
    copy.severity = RuleOf(code).severity;
    copy.detail = std::move(detail);
    Add(verdict, std::move(copy));
  };
  const bool lost = usable.empty();
  if (lost) add(no_usable_path, PathList(all, true, true));
  bool redundant = false;
  if (!lost && unit.judged_for_redundancy) {
    if (physical_ports.size() == 1) {
      const Port& port = ports_[*physical_ports.begin()];
      finding.port_name = port.name;
      finding.scsi_host = port.scsi_host;
      add(nvme ? FindingCode::kNamespaceSinglePort : FindingCode::kLunSinglePort,
          PathList(usable, false, false));
      finding.port_name.clear();
      finding.scsi_host.reset();
    } else if (fabrics_unknown.empty() && fabrics.size() == 1) {
      finding.fabric_name = *fabrics.begin();
      std::string ports;
      for (const std::size_t i : physical_ports) {
        const Port& port = ports_[i];
        ports += (ports.empty() ? "ports " : ", ") + port.name;
        if (port.scsi_host) ports += " (host" + std::to_string(*port.scsi_host) + ")";
      }
      add(nvme ? FindingCode::kNamespaceSingleFabric : FindingCode::kLunSingleFabric, ports);
      finding.fabric_name.clear();
    } else {
      redundant = true;
    }
  }
  // Several paths that nothing joins: each is a device of its own, and a path's failure fails
  // whatever uses that device. Only Linux hosts say what joins them.
  if (unit.judged_for_redundancy && unit.linux_unit && unit.paths.size() >= 2 && !joined) {
    redundant = false;
    add(nvme ? FindingCode::kNamespaceNotMultipathed : FindingCode::kLunNotMultipathed,
        std::to_string(all.size()) + (nvme ? " controllers: " : " paths: ") +
            PathList(all, false, false));
  }
  if (!lost && access_published && !optimized) {
    add(nvme ? FindingCode::kNamespaceNoOptimizedPath : FindingCode::kLunNoOptimizedPath,
        PathList(usable, false, true));
  }
  if (!nvme && sizes.size() > 1) {
    std::string list;
    for (const Path* path : all) {
      if (path->size)
        list +=
            (list.empty() ? "" : ", ") + path->name + " " + std::to_string(*path->size) + " bytes";
    }
    add(FindingCode::kLunSizeMismatch, list);
  }
  Count(verdict, nvme ? CountName::kNamespaces : CountName::kLuns) += 1;
  Count(verdict, nvme ? CountName::kNamespacesRedundant : CountName::kLunsRedundant) += redundant;
  // What each port and remote port carries, each unit once.
  std::set<std::size_t> seen_ports, seen_remotes;
  for (const Path& path : unit.paths) {
    for (auto [seen, carried] :
         {std::pair(seen_ports.insert(path.port).second, &ports_[path.port].carried),
          std::pair(seen_remotes.insert(path.remote).second, &remotes_[path.remote].carried)}) {
      if (!seen) continue;
      (nvme ? carried->namespaces : carried->luns) += 1;
      (nvme ? carried->lost_namespaces : carried->lost_luns) += lost;
    }
  }
}

void Host::JudgeMaps(Verdict* verdict) {
  std::optional<std::string> only_port;
  for (const Port& port : ports_) {
    if (scope_.port && port.in_scope) only_port = port.name;
  }
  // A port named with -c that has no name of its own has no path to show a map by.
  if (scope_.port && !only_port) only_port = "";
  ForEachMap(registry_, only_port, [&](const MapView& map) {
    const std::size_t active = map.ActivePaths(), paths = map.paths().size();
    Count(verdict, CountName::kMaps) += 1;
    if (active == paths && paths > 0) return;
    Count(verdict, CountName::kMapsDegraded) += 1;
    Finding finding(active == 0 ? FindingCode::kMapNoActivePath : FindingCode::kMapDegraded);
    finding.map = Text(map.Own(kMapNameKey));
    finding.dm = Text(map.Own(kMapDeviceKey));
    finding.wwid = map.Wwid().value_or("");
    std::string failed;
    for (const Dictionary* path : map.paths()) {
      const std::optional<std::string> state = MapView::PathState(*path);
      if (state == "running" || state == "live") continue;
      std::string name = Text(MemberValue(*path, kBlockDeviceKey));
      std::string device = Text(MemberValue(*path, kScsiAddressKey));
      if (device.empty()) device = Text(MemberValue(*path, kNvmeControllerKey));
      if (!device.empty()) name += " (" + device + ")";
      failed += (failed.empty() ? "" : ", ") + name + " " + state.value_or("in no known state");
    }
    if (paths == 0) {
      finding.detail = "it has no path at all";
    } else if (active == 0) {
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
std::string CarriedDetail(const Carried& c, const std::string& how) {
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

void Host::JudgePorts(Verdict* verdict) {
  for (const Port& port : ports_) {
    if (!port.in_scope) continue;
    Count(verdict, CountName::kPorts) += 1;
    Count(verdict, CountName::kPortsOnline) += Fine(port.state, "online");
    if (Fine(port.state, "online")) continue;
    Finding finding = About(FindingCode::kPortNotOnline, port);
    finding.state = *port.state;
    if (port.carried.lost_luns + port.carried.lost_namespaces > 0)
      finding.severity = CheckStatus::kCritical;
    finding.detail = CarriedDetail(port.carried, "reached through it");
    Add(verdict, std::move(finding));
  }
  for (const RemotePort& remote : remotes_) {
    if (!ports_[remote.port].in_scope) continue;
    Count(verdict, CountName::kRemotePorts) += 1;
    Count(verdict, CountName::kRemotePortsOnline) += Fine(remote.state, "online");
    if (Fine(remote.state, "online")) continue;
    Finding finding = About(FindingCode::kRemotePortNotOnline, ports_[remote.port]);
    finding.remote_port_name = remote.name;
    finding.state = *remote.state;
    if (remote.carried.lost_luns + remote.carried.lost_namespaces > 0)
      finding.severity = CheckStatus::kCritical;
    finding.detail = CarriedDetail(remote.carried, "behind it");
    Add(verdict, std::move(finding));
  }
}

void Host::Judge(Verdict* verdict) {
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
  Conclude(verdict);
}

bool IsHex(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

std::optional<std::string> WwidKey(std::string_view text) {
  // multipath's and udev's first digit is the kind of designator the kernel's prefix names.
  static const std::pair<char, const char*> kForms[] = {
      {'3', "naa."}, {'2', "eui."}, {'1', "t10."}};
  for (const auto& [digit, prefix] : kForms) {
    if (text.size() > 1 && text[0] == digit) return WwidKey(prefix + std::string(text.substr(1)));
  }
  const std::size_t dot = text.find('.');
  const std::string kind = Lower(text.substr(0, dot == std::string_view::npos ? 0 : dot + 1));
  const std::string_view rest = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  // A T10 vendor id holds the vendor's text, whose letter case is its own.
  if (kind == "t10." && !rest.empty()) return kind + std::string(rest);
  if ((kind == "naa." || kind == "eui.") && IsHex(rest)) return kind + Lower(rest);
  if ((kind == "uuid." || kind == "nvme.") && !rest.empty()) return kind + Lower(rest);
  if (text.size() > 2 && Lower(text.substr(0, 2)) == "0x" && IsHex(text.substr(2)))
    return Lower(text);
  return std::nullopt;
}

Verdict JudgeStorage(DeviceRegistry& registry, const CheckScope& scope) {
  Host host(registry, scope);
  if (!host.Walk()) return UnknownVerdict("no Fibre Channel port in " + scope.place);
  Verdict verdict;
  host.Judge(&verdict);
  return verdict;
}

}  // namespace halvane
