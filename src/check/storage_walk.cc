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
#include "registry/value_text.h"
#include "registry/vocabulary.h"

namespace halvane::storage {

bool StorageHost::Gather() {
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
    port.speed = TextOrEmpty(MemberValue(*record, kRecordSpeed));
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

std::size_t StorageHost::AddRemote(std::size_t port, const TargetView& remote) {
  const std::optional<std::string> name = KnownWWN(remote.Port(kRemotePortNameKey));
  // A remote port without a name is one of its own.
  // (Appended, not "#" + text: GCC 12 misreads that concatenation as an overlapping copy.)
  std::string key = name.value_or("");
  if (!name) key.append("#").append(std::to_string(remotes_.size()));
  const auto [at, added] = remote_index_.emplace(std::make_pair(port, key), remotes_.size());
  if (added)
    remotes_.push_back({port,
                        name.value_or(""),
                        PortState(remote.Port(kRemotePortStateKey)),
                        {},
                        PortRoles(remote.Port(kRemotePortRolesKey))});
  return at->second;
}

void StorageHost::AddLun(std::size_t port, std::size_t remote, const LunView& unit) {
  Path path;
  path.port = port;
  path.remote = remote;
  path.name = TextOrEmpty(unit.Own(kScsiAddressKey));
  // A registry without SCSI addresses names a path by its LUN and remote port.
  if (path.name.empty()) {
    path.name = "LUN " + unit.Address().value_or("?");
    if (!remotes_[remote].name.empty()) path.name += " of " + remotes_[remote].name;
  }
  path.block = TextOrEmpty(unit.Own(kBlockDeviceKey));
  const StatusOr<std::optional<PropertyValue>> state = unit.Read(kScsiDeviceStateKey);
  path.state = state.ok() ? UnitState(*state) : std::nullopt;
  path.state_unreadable = !state.ok();
  path.access = AsciiLower(TextOrEmpty(unit.Search(kAccessStateKey)));
  path.size = Unsigned(unit.Own(kCapacityKey));
  const std::optional<PropertyValue> map = unit.Own(kMultipathMapKey);
  const Dictionary* held = map ? map->AsDictionary() : nullptr;
  path.joined = held != nullptr;
  if (ports_[port].in_scope) {
    ++lun_paths_;
    // A state that could not be read is not counted running, as the map rule counts it not
    // active; neither judges it down.
    lun_paths_running_ += Passes(path.state, "running") && !path.state_unreadable;
  }

  std::string wwid = TextOrEmpty(unit.Own(kWorldWideIdKey));
  if (wwid.empty()) wwid = unit.UniqueId().value_or("");
  if (wwid.empty()) {
    // Nothing joins it to its other paths: it is counted, and only its own state is judged.
    luns_without_wwid_ += ports_[port].in_scope;
    if (!Passes(path.state, "running") && ports_[port].in_scope) {
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
    lun.map = TextOrEmpty(MemberValue(*held, kMapNameKey));
    lun.dm = TextOrEmpty(MemberValue(*held, kMapDeviceKey));
  }
  lun.paths.push_back(std::move(path));
}

void StorageHost::AddNvmeController(std::size_t port, const TargetView& controller) {
  const std::size_t remote = AddRemote(port, controller);
  const std::string name = TextOrEmpty(controller.Own(kNvmeControllerKey));
  const std::optional<std::string> state = ControllerState(controller.Own(kNvmeControllerStateKey));
  if (ports_[port].in_scope) {
    ++controllers_;
    controllers_live_ += Passes(state, "live");
    if (!Passes(state, "live")) {
      Finding finding = About(FindingCode::kNvmeControllerNotLive, ports_[port]);
      finding.remote_port_name = remotes_[remote].name;
      finding.nvme_controller = name;
      finding.state = *state;
      walk_findings_.push_back(std::move(finding));
    }
  }
  ForEachLun(registry_, controller.target, [&](const LunView& space) {
    std::string id = TextOrEmpty(space.Own(kWorldWideIdKey));
    if (id.empty()) id = space.UniqueId().value_or("");
    Path path;
    path.port = port;
    path.remote = remote;
    path.name = name;
    // Native multipath's path device is the controller's own; the head is every controller's.
    path.block = TextOrEmpty(space.Own(kPathDeviceKey));
    if (path.block.empty()) path.block = TextOrEmpty(space.Own(kBlockDeviceKey));
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
      unit.subsystem = TextOrEmpty(controller.Own(kSubsystemNqnKey));
    }
    Unit& unit = namespaces_[at->second];
    if (held && unit.map.empty()) {
      unit.map = TextOrEmpty(MemberValue(*held, kMapNameKey));
      unit.dm = TextOrEmpty(MemberValue(*held, kMapDeviceKey));
    }
    unit.paths.push_back(std::move(path));
  });
}

}  // namespace halvane::storage
