#include "listing/inventory_document.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/port_info.h"
#include "listing/target_walk.h"
#include "registry/json_text.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

// Writes one JSON value as it goes, 2-space indented, members in the order they are given, so
// that a listing of any size is never held as a document in memory.
class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  void Open(char bracket) {
    Separate();
    out_ << bracket;
    counts_.push_back(0);
  }
  void Close(char bracket) {
    const bool had_members = counts_.back() > 0;
    counts_.pop_back();
    if (had_members) NewLine();
    out_ << bracket;
  }
  void Key(std::string_view key) {
    Separate();
    Quoted(key);
    out_ << ": ";
    after_key_ = true;
  }
  void String(std::string_view text) {
    Separate();
    Quoted(text);
  }
  void Integer(const Number& number) {
    Separate();
    std::visit([this](auto v) { out_ << v; }, number.raw());
  }
  void End() { out_ << "\n"; }

 private:
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (counts_.empty()) return;
    if (counts_.back()++ > 0) out_ << ',';
    NewLine();
  }
  void NewLine() {
    static constexpr char kSpaces[] = "                                ";
    out_ << '\n';
    for (std::size_t left = 2 * counts_.size(); left > 0;) {
      const std::size_t n = std::min(left, sizeof kSpaces - 1);
      out_.write(kSpaces, static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  void Quoted(std::string_view text) {
    quoted_.clear();
    AppendJsonString(quoted_, text);
    out_ << quoted_;
  }

  std::ostream& out_;
  std::vector<std::size_t> counts_;  // members written so far, per open container
  bool after_key_ = false;
  std::string quoted_;
};

// The text of a String, or of the bytes a live host read where it expected text but found no
// UTF-8 (the writer turns what is not UTF-8 into U+FFFD); up to its first zero character, as a
// line would show it.
const std::string_view* TextOf(const PropertyValue* value, std::string_view* holder) {
  if (value == nullptr) return nullptr;
  if (const std::string* text = value->AsString()) {
    *holder = *text;
  } else if (const Data* bytes = value->AsData()) {
    *holder = std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  } else {
    return nullptr;
  }
  *holder = holder->substr(0, holder->find('\0'));
  return holder;
}

void MemberText(JsonWriter& json, std::string_view key, const PropertyValue* value) {
  std::string_view holder;
  if (const std::string_view* text = TextOf(value, &holder)) {
    json.Key(key);
    json.String(*text);
  }
}
void MemberText(JsonWriter& json, std::string_view key, const std::optional<PropertyValue>& value) {
  MemberText(json, key, value ? &*value : nullptr);
}
void MemberText(JsonWriter& json, std::string_view key, const std::optional<std::string>& text) {
  if (!text) return;
  json.Key(key);
  json.String(*text);
}

// An integer member; a number given with a fraction or exponent is not one.
void MemberInteger(JsonWriter& json, std::string_view key, const PropertyValue* value) {
  const Number* number = value ? value->AsNumber() : nullptr;
  if (number == nullptr || std::holds_alternative<double>(number->raw())) return;
  json.Key(key);
  json.Integer(*number);
}

void MemberWWN(JsonWriter& json, std::string_view key, const PropertyValue* value) {
  std::string text;
  if (value && FormatWWNFromData(*value, &text).ok()) MemberText(json, key, text);
}

void WriteLun(JsonWriter& json, const LunView& unit) {
  json.Open('{');
  MemberText(json, "lun", unit.Address());
  MemberText(json, "revision", unit.Search(kProductRevisionLevelKey));
  MemberText(json, "unique_id", unit.UniqueId());
  MemberText(json, "alua_support", unit.Search(kAluaSupportKey));
  MemberText(json, "access_state", unit.Search(kAccessStateKey));
  MemberText(json, "load_balancing", unit.Search(kLoadBalancingAlgorithmKey));
  const std::vector<PropertyValue> values = unit.Aliases();
  std::vector<std::string_view> aliases;
  std::vector<std::string_view> holders(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (const std::string_view* text = TextOf(&values[i], &holders[i])) aliases.push_back(*text);
  }
  if (!aliases.empty()) {
    json.Key("aliases");
    json.Open('[');
    for (std::string_view alias : aliases) json.String(alias);
    json.Close(']');
  }
  MemberText(json, "model", unit.Search(kProductIdentificationKey));
  MemberText(json, "vendor", unit.Search(kVendorIdentificationKey));
  MemberText(json, "scsi_address", unit.Own(kScsiAddressKey));
  MemberText(json, "device_state", unit.Own(kScsiDeviceStateKey));
  MemberText(json, "block_device", unit.Own(kBlockDeviceKey));
  MemberText(json, "sg_device", unit.Own(kScsiGenericDeviceKey));
  json.Close('}');
}

void WriteTarget(JsonWriter& json, const TargetView& target) {
  json.Open('{');
  const std::optional<PropertyValue> port_name = target.Port(kRemotePortNameKey);
  MemberWWN(json, "port_name", port_name ? &*port_name : nullptr);
  const std::optional<PropertyValue> node_name = target.Port(kRemoteNodeNameKey);
  MemberWWN(json, "node_name", node_name ? &*node_name : nullptr);
  const std::optional<PropertyValue> port_id = target.Port(kRemotePortIdKey);
  MemberInteger(json, "port_id", port_id ? &*port_id : nullptr);
  MemberText(json, "port_state", target.Port(kRemotePortStateKey));
  MemberText(json, "roles", target.Port(kRemotePortRolesKey));
  MemberText(json, "scsi_address", target.Own(kScsiAddressKey));
  json.Key("luns");
  json.Open('[');
  ForEachLun(target.registry, target.target, [&](const LunView& unit) { WriteLun(json, unit); });
  json.Close(']');
  json.Close('}');
}

// The node WWN and targets of a Fibre Channel controller, read as the target section reads them.
void WriteFibreChannelMembers(JsonWriter& json, DeviceRegistry& registry,
                              const RegistryEntry& controller) {
  MemberText(json, "node_name", ControllerNodeName(registry, controller));
  json.Key("targets");
  json.Open('[');
  ForEachTarget(
      registry, controller, [] {}, [&](const TargetView& target) { WriteTarget(json, target); });
  json.Close(']');
}

bool IsFibreChannelController(DeviceRegistry& registry, const RegistryEntry& entry) {
  return registry.ConformsTo(entry, kScsiControllerClass) &&
         HasFibreChannelInterconnect(registry, entry);
}

// The object of one port from its record; false, with nothing written, when there is none.
bool WritePort(JsonWriter& json, DeviceRegistry& registry, const RegistryEntry& port) {
  Dictionary record;
  if (!BuildPortInfo(registry, port, &record).ok()) return false;
  json.Open('{');
  MemberText(json, "port_name", FindMember(record, kRecordPortName));
  MemberText(json, "port_status", FindMember(record, kRecordPortStatus));
  // The AL_PA is shown as the report shows it: the 32 bits of the record's value, unsigned.
  const PropertyValue* alpa = FindMember(record, kRecordHardLoopId);
  std::int32_t alpa_value = 0;
  if (alpa && alpa->AsNumber() && alpa->AsNumber()->ToInt32(&alpa_value)) {
    json.Key("al_pa");
    json.Integer(Number::FromUInt64(static_cast<std::uint32_t>(alpa_value)));
  }
  MemberText(json, "speed", FindMember(record, kRecordSpeed));
  MemberText(json, "topology", FindMember(record, kRecordTopology));
  MemberText(json, "slot", FindMember(record, kRecordSlot));
  const PropertyValue* number = FindMember(record, kRecordPortNumber);
  std::int32_t number_value = 0;
  if (number && number->AsNumber() && number->AsNumber()->ToInt32(&number_value)) {
    json.Key("port_number");
    json.Integer(Number::FromInt64(number_value));
  }
  MemberText(json, "cable_type", FindMember(record, kRecordCableType));
  MemberInteger(json, "scsi_host", FindMember(record, kRecordScsiHostNumber));
  MemberText(json, "driver", FindMember(record, kRecordDriverName));
  MemberText(json, "driver_version", FindMember(record, kRecordDriverVersion));
  MemberText(json, "firmware_version", FindMember(record, kRecordFirmwareVersion));
  MemberInteger(json, "port_id", FindMember(record, kRecordPortId));
  MemberWWN(json, "fabric_name", FindMember(record, kRecordFabricName));
  MemberText(json, "supported_speeds", FindMember(record, kRecordSupportedSpeeds));
  MemberText(json, "symbolic_name", FindMember(record, kRecordSymbolicName));
  MemberWWN(json, "physical_port_name", FindMember(record, kRecordPhysicalPortName));
  MemberInteger(json, "physical_scsi_host", FindMember(record, kRecordPhysicalScsiHostNumber));
  const PropertyValue* statistics = FindMember(record, kRecordStatistics);
  if (const Dictionary* counters = statistics ? statistics->AsDictionary() : nullptr) {
    json.Key(kRecordStatistics);
    json.Open('{');
    for (const auto& [name, value] : *counters) MemberInteger(json, name, &value);
    json.Close('}');
  }
  if (IsFibreChannelController(registry, port)) WriteFibreChannelMembers(json, registry, port);
  json.Close('}');
  return true;
}

void OpenDocument(JsonWriter& json) {
  json.Open('{');
  json.Key("schema");
  json.String(kInventorySchema);
  json.Key("controllers");
  json.Open('[');
}

void CloseDocument(JsonWriter& json) {
  json.Close(']');
  json.Close('}');
  json.End();
}

}  // namespace

void PrintInventoryDocument(DeviceRegistry& registry, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  std::set<const RegistryEntry::Impl*> written;
  RegistryIterator ports;
  if (DiscoverControllers(registry, &ports).ok()) {
    for (RegistryEntry port = registry.NextEntry(ports); port; port = registry.NextEntry(ports)) {
      if (WritePort(json, registry, port)) written.insert(port.impl());
    }
    RegistryIterator controllers;
    if (registry.MatchServices(kScsiControllerClass, &controllers).ok()) {
      for (RegistryEntry controller = registry.NextEntry(controllers); controller;
           controller = registry.NextEntry(controllers)) {
        if (written.count(controller.impl()) || !HasFibreChannelInterconnect(registry, controller))
          continue;
        json.Open('{');
        WriteFibreChannelMembers(json, registry, controller);
        json.Close('}');
      }
    }
  }
  CloseDocument(json);
}

void PrintPortDocument(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  if (port) WritePort(json, registry, port);
  CloseDocument(json);
}

}  // namespace halvane
