#include "listing/inventory_document.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/port_info.h"
#include "listing/full_report.h"

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
  // Text that needs no escape goes out as it is; anything else is escaped by the JSON library,
  // which also turns bytes that are not UTF-8 into U+FFFD.
  void Quoted(std::string_view text) {
    bool plain = IsValidUtf8(text);
    for (char c : text)
      plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
    if (plain) {
      out_ << '"' << text << '"';
      return;
    }
    out_ << nlohmann::json(std::string(text))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }

  std::ostream& out_;
  std::vector<std::size_t> counts_;  // members written so far, per open container
  bool after_key_ = false;
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
  if (value && FormatWWNFromData(*value, &text) == kWwnOk) MemberText(json, key, text);
}

void WriteLun(JsonWriter& json, DeviceRegistry& registry, const RegistryEntry& unit) {
  auto search = [&](std::string_view key) {
    return registry.SearchProperty(unit, key, SearchDirection::kDescendants);
  };
  json.Open('{');
  MemberText(json, "lun", LunAddressText(registry, unit));
  MemberText(json, "revision", search(kProductRevisionLevelKey));
  MemberText(json, "unique_id", FormatUniqueID(search(kUniqueIdentifierKey)));
  MemberText(json, "alua_support", search(kAluaSupportKey));
  MemberText(json, "access_state", search(kAccessStateKey));
  MemberText(json, "load_balancing", search(kLoadBalancingAlgorithmKey));
  std::vector<std::string_view> aliases;
  const std::vector<PropertyValue> values = LunAliases(search(kDeviceIdentificationKey));
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
  MemberText(json, "model", search(kProductIdentificationKey));
  MemberText(json, "vendor", search(kVendorIdentificationKey));
  MemberText(json, "scsi_address", registry.ReadProperty(unit, kScsiAddressKey));
  MemberText(json, "device_state", registry.ReadProperty(unit, kScsiDeviceStateKey));
  MemberText(json, "block_device", registry.ReadProperty(unit, kBlockDeviceKey));
  MemberText(json, "sg_device", registry.ReadProperty(unit, kScsiGenericDeviceKey));
  json.Close('}');
}

void WriteTarget(JsonWriter& json, DeviceRegistry& registry, const RegistryEntry& device,
                 const RegistryEntry& target) {
  json.Open('{');
  const std::optional<PropertyValue> port_name = registry.ReadProperty(device, kRemotePortNameKey);
  MemberWWN(json, "port_name", port_name ? &*port_name : nullptr);
  const std::optional<PropertyValue> node_name = registry.ReadProperty(device, kRemoteNodeNameKey);
  MemberWWN(json, "node_name", node_name ? &*node_name : nullptr);
  const std::optional<PropertyValue> port_id = registry.ReadProperty(device, kRemotePortIdKey);
  MemberInteger(json, "port_id", port_id ? &*port_id : nullptr);
  MemberText(json, "port_state", registry.ReadProperty(device, kRemotePortStateKey));
  MemberText(json, "roles", registry.ReadProperty(device, kRemotePortRolesKey));
  MemberText(json, "scsi_address", registry.ReadProperty(target, kScsiAddressKey));
  json.Key("luns");
  json.Open('[');
  RegistryIterator units;
  if (registry.ChildIterator(target, &units) == kRegistrySuccess) {
    for (RegistryEntry unit = registry.NextEntry(units); unit; unit = registry.NextEntry(units))
      WriteLun(json, registry, unit);
  }
  json.Close(']');
  json.Close('}');
}

// The node WWN and targets of a Fibre Channel controller, read as the target section reads them.
void WriteFibreChannelMembers(JsonWriter& json, DeviceRegistry& registry,
                              const RegistryEntry& controller) {
  std::optional<PropertyValue> chars =
      registry.ReadProperty(controller, kControllerCharacteristicsKey);
  const Dictionary* dict = chars ? chars->AsDictionary() : nullptr;
  const PropertyValue* node_wwn = dict ? FindMember(*dict, kNodeWorldWideNameKey) : nullptr;
  if (node_wwn) MemberText(json, "node_name", FormatPaddedWWN(*node_wwn));

  json.Key("targets");
  json.Open('[');
  RegistryIterator children;
  if (registry.ChildIterator(controller, &children) == kRegistrySuccess) {
    for (RegistryEntry child = registry.NextEntry(children); child;
         child = registry.NextEntry(children)) {
      if (!registry.ConformsTo(child, kScsiDeviceClass)) continue;
      RegistryIterator grandchildren;
      if (registry.ChildIterator(child, &grandchildren) != kRegistrySuccess) continue;
      for (RegistryEntry target = registry.NextEntry(grandchildren); target;
           target = registry.NextEntry(grandchildren)) {
        if (registry.ConformsTo(target, kScsiTargetClass))
          WriteTarget(json, registry, child, target);
      }
    }
  }
  json.Close(']');
}

bool IsFibreChannelController(DeviceRegistry& registry, const RegistryEntry& entry) {
  return registry.ConformsTo(entry, kScsiControllerClass) &&
         HasFibreChannelInterconnect(registry, entry);
}

// The object of one port from its record; false, with nothing written, when there is none.
bool WritePort(JsonWriter& json, DeviceRegistry& registry, const RegistryEntry& port,
               RegistryStatus* status) {
  Dictionary record;
  *status = BuildPortInfo(registry, port, &record);
  if (*status != kRegistrySuccess) return false;
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

std::int32_t PrintInventoryDocument(DeviceRegistry& registry, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  std::set<const RegistryEntry::Impl*> written;
  RegistryIterator ports;
  RegistryStatus status = DiscoverControllers(registry, &ports);
  if (status == kRegistrySuccess) {
    for (RegistryEntry port = registry.NextEntry(ports); port; port = registry.NextEntry(ports)) {
      if (WritePort(json, registry, port, &status)) written.insert(port.impl());
    }
    RegistryIterator controllers;
    if (registry.MatchServices(kScsiControllerClass, &controllers) == kRegistrySuccess) {
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
  return static_cast<std::int32_t>(status);
}

void PrintPortDocument(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out) {
  JsonWriter json(out);
  OpenDocument(json);
  RegistryStatus status = kRegistrySuccess;
  if (port) WritePort(json, registry, port, &status);
  CloseDocument(json);
}

}  // namespace halvane
