#include "compare/host_model.h"

#include <optional>

#include "base/text.h"
#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/json_writer.h"
#include "listing/map_walk.h"
#include "listing/target_walk.h"
#include "registry/value_text.h"
#include "registry/vocabulary.h"

namespace halvane {

std::uint32_t TextPool::Id(std::string_view text) {
  if (const auto found = index_.find(text); found != index_.end()) return found->second;
  const auto id = static_cast<std::uint32_t>(texts_.size());
  const std::string& kept = texts_.emplace_back(text);
  index_.emplace(kept, id);
  return id;
}

namespace {

std::string_view TextOr(const std::optional<std::string_view>& text) { return text.value_or(""); }

std::string NumberText(const std::optional<PropertyValue>& value, IntegerRange range) {
  const std::optional<Number> number = IntegerIn(value, range);
  if (!number) return "";
  std::string text;
  std::visit([&](auto v) { text = std::to_string(v); }, number->raw());
  return text;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text.append(text.empty() ? "" : ",").append(item);
  return text;
}

// The walk that fills one model; the index of what it has already seen lives only as long.
class ModelBuilder {
 public:
  ModelBuilder(DeviceRegistry& registry, HostModel& model) : registry_(registry), model_(model) {}

  void Build() {
    StatusOr<std::vector<NamedPort>> ports = DistinctPorts(registry_);
    if (ports.ok()) {
      for (const NamedPort& port : *ports) AddPort(port.entry, port.record);
    }
    ForEachMap(registry_, std::nullopt, [&](const MapView& map) { AddMap(map); });
  }

 private:
  std::uint32_t Id(std::string_view text) { return model_.texts.Id(text); }
  std::uint32_t Id(const std::string& text) { return model_.texts.Id(text); }
  std::uint32_t Id(const char* text) { return model_.texts.Id(text); }
  std::uint32_t Id(const std::optional<std::string>& text) { return Id(text.value_or("")); }

  void AddPort(const RegistryEntry& entry, const Dictionary& record) {
    ModelPort& port = model_.ports.emplace_back();
    port.name = Id(PortNameText(record));
    port.fields = {Id(PortState(MemberValue(record, kRecordPortStatus))),
                   Id(TextOr(TextOf(MemberValue(record, kRecordSpeed)))),
                   Id(TextOr(TextOf(MemberValue(record, kRecordTopology)))),
                   Id(KnownWWN(MemberValue(record, kRecordFabricName))),
                   Id(FibreChannelAddress(MemberValue(record, kRecordPortId))),
                   Id(NumberText(MemberValue(record, kRecordHardLoopId), kUnsigned32Range)),
                   Id(TextOr(TextOf(MemberValue(record, kRecordFirmwareVersion))))};
    const PropertyValue* statistics = FindMember(record, kRecordStatistics);
    if (const Dictionary* counters = statistics ? statistics->AsDictionary() : nullptr) {
      for (std::size_t i = 0; i < kErrorCounters.size(); ++i) {
        const std::optional<Number> value =
            IntegerIn(MemberValue(*counters, kErrorCounters[i]), kCountRange);
        port.has_counter[i] = value.has_value();
        if (value)
          std::visit([&](auto v) { port.counters[i] = static_cast<std::uint64_t>(v); },
                     value->raw());
      }
    }
    if (!registry_.ConformsTo(entry, kScsiControllerClass) ||
        !HasFibreChannelInterconnect(registry_, entry))
      return;
    const std::uint32_t name = port.name;  // port may move as more ports are added
    const std::string_view state = Text(port.fields[0]);
    port_online_ = state.empty() || state == "online";
    remote_online_.clear();
    ForEachTarget(
        registry_, entry, [] {},
        [&](const TargetView& target) {
          const std::uint32_t remote = AddRemote(name, target);
          ForEachLun(registry_, target.target,
                     [&](const LunView& unit) { AddLun(name, remote, unit); });
        });
    ForEachNvmeController(registry_, entry,
                          [&](const TargetView& controller) { AddController(name, controller); });
  }

  // An NVMe controller is its own remote port's entry: its view's device is the controller.
  std::uint32_t AddRemote(std::uint32_t port, const TargetView& target) {
    const auto read = [&](std::string_view key) { return target.Port(key); };
    const std::uint32_t name = Id(KnownWWN(read(kRemotePortNameKey)).value_or("unknown"));
    if (!remotes_seen_.emplace(std::make_pair(port, name), model_.remotes.size()).second)
      return name;
    ModelRemotePort& remote = model_.remotes.emplace_back();
    remote.port = port;
    remote.name = name;
    const std::optional<std::string> state = PortState(read(kRemotePortStateKey));
    remote_online_[name] = !state || *state == "online";
    remote.fields = {Id(state), Id(Joined(PortRoles(read(kRemotePortRolesKey)))),
                     Id(NumberText(read(kDeviceLossTimeoutKey), kCountRange))};
    return name;
  }

  std::uint32_t AddUnit(std::string_view key, bool nvme, const LunView& unit) {
    const std::uint32_t id = Id(key);
    if (!units_seen_.emplace(id, model_.units.size()).second) return id;
    ModelUnit& added = model_.units.emplace_back();
    added.key = id;
    added.nvme = nvme;
    added.fields = {Id(NumberText(unit.Own(kCapacityKey), kCountRange)),
                    Id(TextOr(TextOf(unit.Search(kVendorIdentificationKey)))),
                    Id(TextOr(TextOf(unit.Search(kProductIdentificationKey)))),
                    Id(TextOr(TextOf(unit.Search(kProductRevisionLevelKey))))};
    return id;
  }

  void AddLun(std::uint32_t port, std::uint32_t remote, const LunView& unit) {
    ModelPath path;
    path.port = port;
    path.remote = remote;
    const std::string address = unit.Address().value_or("?");
    path.address = Id(address);
    path.block = Id(TextOr(TextOf(unit.Own(kBlockDeviceKey))));
    const std::optional<std::string> state = UnitState(unit.Own(kScsiDeviceStateKey));
    path.fields = {Id(state), Id(AsciiLower(TextOr(TextOf(unit.Search(kAccessStateKey)))))};
    path.usable = (!state || *state == "running") && Online(remote);
    std::string key(TextOr(TextOf(unit.Own(kWorldWideIdKey))));
    if (key.empty()) key = unit.UniqueId().value_or("");
    // Nothing joins a LUN without an id to its other paths: it is known by its one path.
    if (key.empty())
      key.append("path ")
          .append(Text(port))
          .append(" ")
          .append(Text(remote))
          .append(" ")
          .append(address);
    path.unit = AddUnit(key, false, unit);
    model_.paths.push_back(path);
  }

  void AddController(std::uint32_t port, const TargetView& controller) {
    const std::uint32_t remote = AddRemote(port, controller);
    ModelController& added = model_.controllers.emplace_back();
    added.nqn = Id(TextOr(TextOf(controller.Own(kSubsystemNqnKey))));
    added.port = port;
    added.remote = remote;
    const std::optional<std::string> state =
        ControllerState(controller.Own(kNvmeControllerStateKey));
    added.fields = {Id(state)};
    const std::uint32_t nqn = added.nqn;
    ForEachLun(registry_, controller.target, [&](const LunView& space) {
      const std::string nsid = NumberText(space.Own(kNamespaceIdKey), kNamespaceIdRange);
      if (nsid.empty()) return;
      ModelPath path;
      path.port = port;
      path.remote = remote;
      path.nqn = nqn;
      path.address = Id(nsid);
      std::string_view block = TextOr(TextOf(space.Own(kPathDeviceKey)));
      if (block.empty()) block = TextOr(TextOf(space.Own(kBlockDeviceKey)));
      path.block = Id(block);
      path.fields = {Id(state), Id(AnaState(space.Own(kAnaStateKey)))};
      path.usable = (!state || *state == "live") && Online(remote);
      std::string key(TextOr(TextOf(space.Own(kWorldWideIdKey))));
      if (key.empty()) key = space.UniqueId().value_or("");
      if (key.empty()) key.append(Text(nqn)).append(" namespace ").append(nsid);
      path.unit = AddUnit(key, true, space);
      model_.paths.push_back(path);
    });
  }

  void AddMap(const MapView& view) {
    ModelMap& map = model_.maps.emplace_back();
    std::string_view key = TextOr(TextOf(view.Own(kMapUuidKey)));
    const std::optional<std::string> wwid = view.Wwid();
    if (key.empty() && wwid) key = *wwid;
    map.key = Id(key);
    map.fields = {Id(TextOr(TextOf(view.Own(kMapNameKey))))};
    for (const Dictionary* path : view.paths()) {
      std::string name(KnownWWN(MemberValue(*path, kPortWorldWideNameKey)).value_or("-"));
      name.append(" ").append(KnownWWN(MemberValue(*path, kRemotePortNameKey)).value_or("-"));
      // A SCSI path's LUN is its address's last number; an NVMe path is its controller's.
      const std::string_view address = TextOr(TextOf(MemberValue(*path, kScsiAddressKey)));
      if (!address.empty()) {
        name.append(" lun ").append(address.substr(address.rfind(':') + 1));
      } else {
        name.append(" nvme");
      }
      map.paths.push_back(Id(name));
    }
    map.active = static_cast<std::uint32_t>(view.ActivePaths());
  }

  std::string_view Text(std::uint32_t id) const { return model_.Text(id); }
  // Whether I/O can pass our port and the remote port (of the port being walked), as far as
  // they say.
  bool Online(std::uint32_t remote) const {
    const auto found = remote_online_.find(remote);
    return port_online_ && (found == remote_online_.end() || found->second);
  }

  DeviceRegistry& registry_;
  HostModel& model_;
  std::unordered_map<std::uint32_t, std::size_t> units_seen_;
  bool port_online_ = true;                                // of the port being walked
  std::unordered_map<std::uint32_t, bool> remote_online_;  // of its remote ports, by name
  struct PairHash {
    std::size_t operator()(const std::pair<std::uint32_t, std::uint32_t>& p) const {
      return (std::size_t{p.first} << 32) ^ p.second;
    }
  };
  std::unordered_map<std::pair<std::uint32_t, std::uint32_t>, std::size_t, PairHash> remotes_seen_;
};

}  // namespace

HostModel BuildHostModel(DeviceRegistry& registry) {
  HostModel model;
  ModelBuilder(registry, model).Build();
  return model;
}

}  // namespace halvane
