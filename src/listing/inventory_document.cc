#include "listing/inventory_document.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/json_writer.h"
#include "listing/map_walk.h"
#include "listing/target_walk.h"
#include "registry/value_text.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

constexpr char kInventorySchema[] = "halvane-inventory/2";

std::optional<PropertyValue> Member(const Dictionary& record, std::string_view key) {
  return MemberValue(record, key);
}

// A text member, unless it is the kernel's "unknown".
void MemberKnown(JsonWriter& json, std::string_view key,
                 const std::optional<PropertyValue>& value) {
  const std::string* text = value ? value->AsString() : nullptr;
  if (text && (*text == "unknown" || *text == "Unknown")) return;
  MemberText(json, key, value);
}

void WriteMap(JsonWriter& json, const std::optional<PropertyValue>& map) {
  const Dictionary* members = map ? map->AsDictionary() : nullptr;
  if (members == nullptr) return;
  json.Key("multipath");
  json.Open('{');
  MemberText(json, "name", Member(*members, kMapNameKey));
  MemberText(json, "dm", Member(*members, kMapDeviceKey));
  MemberText(json, "uuid", Member(*members, kMapUuidKey));
  json.Close('}');
}

void WriteLun(JsonWriter& json, const LunView& unit) {
  json.Open('{');
  MemberText(json, "lun", unit.Address());
  MemberText(json, "scsi_address", unit.Own(kScsiAddressKey));
  MemberText(json, "state", UnitState(unit.Own(kScsiDeviceStateKey)));
  MemberText(json, "type", UnitType(unit.Own(kPeripheralTypeKey)));
  MemberText(json, "vendor", unit.Search(kVendorIdentificationKey));
  MemberText(json, "model", unit.Search(kProductIdentificationKey));
  MemberText(json, "revision", unit.Search(kProductRevisionLevelKey));
  MemberText(json, "unique_id", unit.UniqueId());
  const std::optional<PropertyValue> wwid = unit.Own(kWorldWideIdKey);
  MemberText(json, "wwid", wwid);
  MemberText(json, "multipath_wwid", MultipathWwid(wwid));
  MemberText(json, "alua_support", unit.Search(kAluaSupportKey));
  MemberText(json, "access_state", unit.Search(kAccessStateKey));
  MemberText(json, "load_balancing", unit.Search(kLoadBalancingAlgorithmKey));
  std::vector<std::string> aliases;
  for (const PropertyValue& value : unit.Aliases()) {
    if (const auto text = TextOf(&value)) aliases.emplace_back(*text);
  }
  MemberTexts(json, "aliases", aliases);
  MemberText(json, "block_device", unit.Own(kBlockDeviceKey));
  MemberText(json, "sg_device", unit.Own(kScsiGenericDeviceKey));
  MemberInteger(json, "size_bytes", unit.Own(kCapacityKey), kCountRange);
  MemberInteger(json, "logical_block_size", unit.Own(kLogicalBlockSizeKey), kBlockSizeRange);
  MemberInteger(json, "queue_depth", unit.Own(kQueueDepthKey), kCountRange);
  WriteMap(json, unit.Own(kMultipathMapKey));
  json.Close('}');
}

void WriteTarget(JsonWriter& json, const TargetView& target) {
  json.Open('{');
  MemberWWN(json, "port_name", target.Port(kRemotePortNameKey));
  MemberWWN(json, "node_name", target.Port(kRemoteNodeNameKey));
  MemberText(json, "port_id", FibreChannelAddress(target.Port(kRemotePortIdKey)));
  MemberText(json, "state", PortState(target.Port(kRemotePortStateKey)));
  MemberTexts(json, "roles", PortRoles(target.Port(kRemotePortRolesKey)));
  MemberInteger(json, "dev_loss_tmo", target.Port(kDeviceLossTimeoutKey), kCountRange);
  MemberInteger(json, "fast_io_fail_tmo", target.Port(kFastFailTimeoutKey), kCountRange);
  MemberText(json, "scsi_address", target.Own(kScsiAddressKey));
  json.Key("luns");
  json.Open('[');
  ForEachLun(target.registry, target.target, [&](const LunView& unit) { WriteLun(json, unit); });
  json.Close(']');
  json.Close('}');
}

void WriteNamespace(JsonWriter& json, const LunView& unit) {
  json.Open('{');
  MemberInteger(json, "nsid", unit.Own(kNamespaceIdKey), kNamespaceIdRange);
  MemberText(json, "unique_id", unit.UniqueId());
  MemberText(json, "wwid", unit.Own(kWorldWideIdKey));
  MemberText(json, "nguid", HexId(unit.Own(kNguidKey), 16));
  MemberText(json, "eui64", HexId(unit.Own(kEui64Key), 8));
  MemberText(json, "uuid", UuidText(unit.Own(kNamespaceUuidKey)));
  MemberText(json, "block_device", unit.Own(kBlockDeviceKey));
  MemberText(json, "path_device", unit.Own(kPathDeviceKey));
  MemberInteger(json, "size_bytes", unit.Own(kCapacityKey), kCountRange);
  MemberInteger(json, "logical_block_size", unit.Own(kLogicalBlockSizeKey), kBlockSizeRange);
  MemberText(json, "ana_state", AnaState(unit.Own(kAnaStateKey)));
  MemberInteger(json, "ana_group", unit.Own(kAnaGroupKey), kUnsigned32Range);
  WriteMap(json, unit.Own(kMultipathMapKey));
  json.Close('}');
}

void WriteNvmeController(JsonWriter& json, const TargetView& controller) {
  json.Open('{');
  MemberText(json, "controller", controller.Own(kNvmeControllerKey));
  MemberWWN(json, "port_name", controller.Own(kRemotePortNameKey));
  MemberWWN(json, "node_name", controller.Own(kRemoteNodeNameKey));
  MemberText(json, "port_id", FibreChannelAddress(controller.Own(kRemotePortIdKey)));
  MemberText(json, "state", ControllerState(controller.Own(kNvmeControllerStateKey)));
  MemberText(json, "subsystem_nqn", controller.Own(kSubsystemNqnKey));
  MemberText(json, "host_nqn", controller.Own(kHostNqnKey));
  MemberText(json, "model", controller.Own(kModelKey));
  MemberText(json, "serial_number", controller.Own(kSerialNumberKey));
  MemberText(json, "firmware_version", controller.Own(kFirmwareVersionKey));
  MemberInteger(json, "controller_id", controller.Own(kControllerIdKey), kControllerIdRange);
  json.Key("namespaces");
  json.Open('[');
  // A namespace is known by its id: one without an id the standard allows has no object.
  ForEachLun(controller.registry, controller.target, [&](const LunView& unit) {
    if (IntegerIn(unit.Own(kNamespaceIdKey), kNamespaceIdRange)) WriteNamespace(json, unit);
  });
  json.Close(']');
  json.Close('}');
}

// The node WWN and targets of a Fibre Channel controller, read as the target section reads them,
// and the NVMe controllers it reaches, when it reaches any.
void WriteFibreChannelMembers(JsonWriter& json, DeviceRegistry& registry,
                              const RegistryEntry& controller) {
  MemberText(json, "node_name", ControllerNodeName(registry, controller));
  json.Key("targets");
  json.Open('[');
  ForEachTarget(
      registry, controller, [] {}, [&](const TargetView& target) { WriteTarget(json, target); });
  json.Close(']');
  bool any = false;
  ForEachNvmeController(registry, controller, [&](const TargetView& nvme) {
    if (!any) {
      json.Key("nvme_controllers");
      json.Open('[');
    }
    any = true;
    WriteNvmeController(json, nvme);
  });
  if (any) json.Close(']');
}

bool IsFibreChannelController(DeviceRegistry& registry, const RegistryEntry& entry) {
  return registry.ConformsTo(entry, kScsiControllerClass) &&
         HasFibreChannelInterconnect(registry, entry);
}

void WriteVirtualPorts(JsonWriter& json, const std::optional<PropertyValue>& ports) {
  const Array* items = ports ? ports->AsArray() : nullptr;
  if (items == nullptr || items->empty()) return;
  json.Key("virtual_ports");
  json.Open('[');
  for (const PropertyValue& item : *items) {
    const Dictionary* port = item.AsDictionary();
    if (port == nullptr) continue;
    json.Open('{');
    MemberWWN(json, "port_name", Member(*port, kPortWorldWideNameKey));
    MemberText(json, "state", VirtualPortState(Member(*port, kPortStateKey)));
    json.Close('}');
  }
  json.Close(']');
}

// The port's link and the settings that change it.
void WriteLinkMembers(JsonWriter& json, const Dictionary& record) {
  MemberText(json, "state", PortState(Member(record, kRecordPortStatus)));
  // The AL_PA is shown as the report shows it: the 32 bits of the record's value, unsigned.
  const PropertyValue* alpa = FindMember(record, kRecordHardLoopId);
  if (const auto value = alpa ? alpa->AsInt32() : std::nullopt) {
    json.Key("al_pa");
    json.Integer(Number::FromUInt64(static_cast<std::uint32_t>(*value)));
  }
  const std::optional<PropertyValue> speed = Member(record, kRecordSpeed);
  MemberKnown(json, "speed", speed);
  const std::string* speed_text = speed ? speed->AsString() : nullptr;
  if (auto rate = speed_text ? SpeedGbit(*speed_text) : std::nullopt) {
    json.Key("speed_gbit");
    json.Integer(Number::FromUInt64(*rate));
  }
  MemberText(json, "topology", Member(record, kRecordTopology));
}

// Where the adapter sits and what it is, with its driver.
void WriteAdapterMembers(JsonWriter& json, const Dictionary& record) {
  // A live host names its slot and its PCI address apart; a snapshot has the slot's text only.
  const std::optional<PropertyValue> pci = Member(record, kRecordPciAddress);
  MemberText(json, "slot", pci ? Member(record, kRecordPciSlot) : Member(record, kRecordSlot));
  MemberText(json, "pci_address", pci);
  const PropertyValue* number = FindMember(record, kRecordPortNumber);
  if (const auto value = number ? number->AsInt32() : std::nullopt) {
    json.Key("port_number");
    json.Integer(Number::FromInt64(*value));
  }
  MemberText(json, "cable_type", Member(record, kRecordCableType));
  MemberInteger(json, "scsi_host", Member(record, kRecordScsiHostNumber), kUnsigned32Range);
  MemberText(json, "driver", Member(record, kRecordDriverName));
  MemberText(json, "driver_version", Member(record, kRecordDriverVersion));
  MemberText(json, "firmware_version", Member(record, kRecordFirmwareVersion));
  MemberText(json, "model", Member(record, kRecordModel));
  MemberText(json, "model_description", Member(record, kRecordModelDescription));
  MemberText(json, "serial_number", Member(record, kRecordSerialNumber));
}

// The transport's counters of the port, when it has any.
void WriteStatistics(JsonWriter& json, const Dictionary& record) {
  const PropertyValue* statistics = FindMember(record, kRecordStatistics);
  if (const Dictionary* counters = statistics ? statistics->AsDictionary() : nullptr) {
    json.Key(kRecordStatistics);
    json.Open('{');
    for (const auto& [name, value] : *counters) MemberInteger(json, name, value, kCountRange);
    json.Close('}');
  }
}

// The object of one port from its record, and the port's name; nothing, with nothing written,
// when it has no record.
std::optional<std::string> WritePort(JsonWriter& json, DeviceRegistry& registry,
                                     const RegistryEntry& port) {
  const StatusOr<Dictionary> built = BuildPortInfo(registry, port);
  if (!built.ok()) return std::nullopt;
  const Dictionary& record = *built;
  const std::string name = PortNameText(record);
  json.Open('{');
  json.Key("port_name");
  json.String(name);
  WriteLinkMembers(json, record);
  WriteAdapterMembers(json, record);
  MemberText(json, "port_id", FibreChannelAddress(Member(record, kRecordPortId)));
  MemberWWN(json, "fabric_name", Member(record, kRecordFabricName));
  const PropertyValue* speeds = FindMember(record, kRecordSupportedSpeeds);
  MemberIntegers(
      json, "supported_speeds_gbit",
      speeds && speeds->AsString() ? SpeedsGbit(*speeds->AsString()) : std::vector<unsigned>{});
  MemberText(json, "symbolic_name", Member(record, kRecordSymbolicName));
  MemberWWN(json, "physical_port_name", Member(record, kRecordPhysicalPortName));
  MemberInteger(json, "physical_scsi_host", Member(record, kRecordPhysicalScsiHostNumber),
                kUnsigned32Range);
  WriteVirtualPorts(json, Member(record, kRecordVirtualPorts));
  WriteStatistics(json, record);
  if (IsFibreChannelController(registry, port)) WriteFibreChannelMembers(json, registry, port);
  json.Close('}');
  return name;
}

// The multipath maps of the registry, each with its paths; only those with a path through the
// port named only_port, when it is given.
void WriteMultipath(JsonWriter& json, DeviceRegistry& registry,
                    const std::optional<std::string>& only_port) {
  json.Key("multipath");
  json.Open('[');
  ForEachMap(registry, only_port, [&](const MapView& map) {
    json.Open('{');
    MemberText(json, "name", map.Own(kMapNameKey));
    MemberText(json, "dm", map.Own(kMapDeviceKey));
    MemberText(json, "uuid", map.Own(kMapUuidKey));
    MemberText(json, "wwid", map.Wwid());
    MemberInteger(json, "size_bytes", map.Own(kCapacityKey), kCountRange);
    json.Key("paths");
    json.Open('[');
    for (const Dictionary* path : map.paths()) {
      json.Open('{');
      const std::optional<PropertyValue> port = Member(*path, kPortWorldWideNameKey);
      MemberWWN(json, "port_name", port);
      MemberWWN(json, "remote_port_name", Member(*path, kRemotePortNameKey));
      MemberText(json, "scsi_address", Member(*path, kScsiAddressKey));
      MemberText(json, "controller", Member(*path, kNvmeControllerKey));
      MemberText(json, "block_device", Member(*path, kBlockDeviceKey));
      MemberText(json, "state", MapView::PathState(*path));
      // A path through a port that is not Fibre Channel is the map's all the same.
      json.Key("fibre_channel");
      json.Literal(port ? "true" : "false");
      json.Close('}');
    }
    json.Close(']');
    json.Close('}');
  });
  json.Close(']');
}

void OpenDocument(JsonWriter& json) {
  json.Open('{');
  json.Key("schema");
  json.String(kInventorySchema);
  json.Key("controllers");
  json.Open('[');
}

// The reads of the host that failed while the document was written: what it leaves out is not
// known to be absent. No member when none failed.
void WriteErrors(JsonWriter& json, const ReadFailures& failures) {
  if (failures.empty()) return;
  json.Key("errors");
  json.Open('[');
  for (const ReadFailure& failure : failures.all()) {
    json.Open('{');
    json.Key("path");
    json.String(failure.path);
    json.Key("reason");
    json.String(failure.reason);
    json.Key("errno");
    if (failure.error.empty()) {
      json.Literal("null");
    } else {
      json.String(failure.error);
    }
    json.Close('}');
  }
  json.Close(']');
}

void CloseDocument(JsonWriter& json, DeviceRegistry& registry,
                   const std::optional<std::string>& only_port) {
  json.Close(']');
  WriteMultipath(json, registry, only_port);
  WriteErrors(json, registry.FailedReads());
  json.Close('}');
  json.End();
}

}  // namespace

void PrintInventoryDocument(DeviceRegistry& registry, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  std::set<const RegistryEntry::Impl*> written;
  if (StatusOr<RegistryIterator> ports = DiscoverControllers(registry); ports.ok()) {
    for (RegistryEntry port = ports->Next(); port; port = ports->Next()) {
      if (WritePort(json, registry, port)) written.insert(port.impl());
    }
    StatusOr<RegistryIterator> controllers = registry.MatchServices(kScsiControllerClass);
    if (controllers.ok()) {
      for (RegistryEntry controller = controllers->Next(); controller;
           controller = controllers->Next()) {
        if (written.count(controller.impl()) || !HasFibreChannelInterconnect(registry, controller))
          continue;
        json.Open('{');
        WriteFibreChannelMembers(json, registry, controller);
        json.Close('}');
      }
    }
  }
  CloseDocument(json, registry, std::nullopt);
}

void PrintPortDocument(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  // A port without a record has no path of its own to show a map by.
  const std::optional<std::string> name = port ? WritePort(json, registry, port) : std::nullopt;
  CloseDocument(json, registry, name.value_or(""));
}

}  // namespace halvane
