#include "inventory/port_info.h"

#include <cstdio>
#include <cstdlib>

namespace halvane {
namespace {

// kPortDescriptionKey is converted in an area of 64 bytes, its terminator included.
constexpr std::size_t kPortDescriptionArea = 64;

void CopyIfPresent(const Dictionary& from, std::string_view source, const char* key,
                   Dictionary* record) {
  if (const PropertyValue* v = FindMember(from, source)) record->insert_or_assign(key, *v);
}

std::optional<std::int64_t> PortNumberFromDescription(const PropertyValue& description) {
  const std::optional<std::string_view> text = TextForLine(description, kPortDescriptionArea);
  if (!text || text->substr(0, 5) != "Port ") return std::nullopt;
  return std::strtol(std::string(text->substr(5)).c_str(), nullptr, 10);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

Status DiscoverControllers(DeviceRegistry& registry, RegistryIterator* out) {
  const char* controller_class = kFusionControllerClass;
  if (registry.MatchFirstService(kUserControllerClass)) controller_class = kUserControllerClass;
  return registry.MatchServices(controller_class, out);
}

std::string WWNText(const std::uint8_t b[8]) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2],
                b[3], b[4], b[5], b[6], b[7]);
  return text;
}

Status FormatWWNFromData(const PropertyValue& value, std::string* out) {
  const Data* data = value.AsData();
  if (data == nullptr || data->size() != 8) return kWwnWrongLength;
  *out = WWNText(data->data());
  return Status::Ok();
}

Status FormatWWNFromNumber(const PropertyValue& value, std::string* out) {
  const Number* number = value.AsNumber();
  std::int64_t v = 0;
  if (number == nullptr || !number->ToInt64(&v)) return kWwnNotAnInteger;
  const auto u = static_cast<std::uint64_t>(v);
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(u >> (8 * i));
  *out = WWNText(bytes);
  return Status::Ok();
}

namespace {

// The characteristics Dictionary of a port in either layout, kept alive by *holder, or nullptr.
// The nested layout keeps it inside the protocol characteristics, and its ports take their slot
// from the registry around them, which goes into *record.
const Dictionary* Characteristics(DeviceRegistry& registry, const RegistryEntry& entry,
                                  std::optional<PropertyValue>* holder, Dictionary* record) {
  *holder = registry.ReadProperty(entry, kControllerCharacteristicsKey);
  if (*holder && (*holder)->AsDictionary()) return (*holder)->AsDictionary();
  *holder = registry.ReadProperty(entry, kProtocolCharacteristicsKey);
  const Dictionary* protocol = *holder ? (*holder)->AsDictionary() : nullptr;
  const PropertyValue* nested =
      protocol ? FindMember(*protocol, kControllerCharacteristicsKey) : nullptr;
  if (nested == nullptr || nested->AsDictionary() == nullptr) return nullptr;

  std::optional<PropertyValue> slot =
      registry.SearchProperty(entry, kSlotNameKey, SearchDirection::kAncestors);
  if (!slot) {
    record->insert_or_assign(kRecordSlot, PropertyValue::String("built-in"));
  } else {
    const Data* bytes = slot->AsData();
    std::string text = bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    record->insert_or_assign(
        kRecordSlot, PropertyValue::String(bytes && IsValidUtf8(text) ? std::move(text) : "bad"));
  }
  return nested->AsDictionary();
}

// The port's WWN text. A present name that does not format gives "invalid"; it never falls back
// to the other key.
std::string PortName(const Dictionary& chars) {
  std::string text;
  if (const PropertyValue* data = FindMember(chars, kPortWorldWideNameKey)) {
    if (FormatWWNFromData(*data, &text).ok()) return text;
  } else if (const PropertyValue* number = FindMember(chars, kWorldWidePortNameKey)) {
    if (FormatWWNFromNumber(*number, &text).ok()) return text;
  }
  return "invalid";
}

}  // namespace

Status BuildPortInfo(DeviceRegistry& registry, const RegistryEntry& entry, Dictionary* out) {
  Dictionary record;
  std::optional<PropertyValue> holder;
  const Dictionary* chars = Characteristics(registry, entry, &holder, &record);
  if (chars == nullptr) return kRegistryNotFound;

  if (const PropertyValue* v = FindMember(*chars, kPortStatusKey)) {
    record.insert_or_assign(kRecordPortStatus, *v);
  } else {
    CopyIfPresent(*chars, kPortStateKey, kRecordPortStatus, &record);
  }

  if (const PropertyValue* description = FindMember(*chars, kPortDescriptionKey)) {
    if (auto number = PortNumberFromDescription(*description)) {
      record.insert_or_assign(kRecordPortNumber, PropertyValue::Int64(*number));
    }
  } else {
    CopyIfPresent(*chars, kPortNumberKey, kRecordPortNumber, &record);
  }

  const PropertyValue* alpa = FindMember(*chars, kAlpaKey);
  if (alpa && alpa->AsData() && alpa->AsData()->size() == 1) {
    record.insert_or_assign(kRecordHardLoopId, PropertyValue::Int64((*alpa->AsData())[0]));
  } else {
    CopyIfPresent(*chars, kPortHardLoopIdKey, kRecordHardLoopId, &record);
  }

  CopyIfPresent(*chars, kPortSpeedKey, kRecordSpeed, &record);
  CopyIfPresent(*chars, kPortTopologyKey, kRecordTopology, &record);
  CopyIfPresent(*chars, kSlotKey, kRecordSlot, &record);

  record.insert_or_assign(kRecordPortName, PropertyValue::String(PortName(*chars)));

  CopyIfPresent(*chars, kCablingTypeKey, kRecordCableType, &record);
  // What a live host publishes beyond the port block; only the inventory document shows it.
  static constexpr std::pair<std::string_view, const char*> kInventory[] = {
      {kScsiHostNumberKey, kRecordScsiHostNumber},
      {kDriverNameKey, kRecordDriverName},
      {kDriverVersionKey, kRecordDriverVersion},
      {kFirmwareVersionKey, kRecordFirmwareVersion},
      {kPortIdKey, kRecordPortId},
      {kFabricNameKey, kRecordFabricName},
      {kSupportedSpeedsKey, kRecordSupportedSpeeds},
      {kSymbolicNameKey, kRecordSymbolicName},
      {kPhysicalPortWorldWideNameKey, kRecordPhysicalPortName},
      {kPhysicalScsiHostNumberKey, kRecordPhysicalScsiHostNumber},
      {kStatisticsKey, kRecordStatistics},
      {kModelKey, kRecordModel},
      {kModelDescriptionKey, kRecordModelDescription},
      {kSerialNumberKey, kRecordSerialNumber},
      {kPciAddressKey, kRecordPciAddress},
      {kPciSlotKey, kRecordPciSlot},
      {kVirtualPortsKey, kRecordVirtualPorts},
  };
  for (const auto& [source, key] : kInventory) CopyIfPresent(*chars, source, key, &record);
  *out = std::move(record);
  return Status::Ok();
}

Status FindPortByWWN(DeviceRegistry& registry, std::string_view wanted, RegistryEntry* out) {
  RegistryIterator ports;
  if (Status s = DiscoverControllers(registry, &ports); !s.ok()) return s;
  RegistryEntry match;
  // Every port is looked at: with duplicate names the last one wins.
  for (RegistryEntry port = registry.NextEntry(ports); port; port = registry.NextEntry(ports)) {
    Dictionary record;
    if (!BuildPortInfo(registry, port, &record).ok()) continue;
    const PropertyValue* name = FindMember(record, kRecordPortName);
    const std::string* text = name ? name->AsString() : nullptr;
    if (text && EqualIgnoringCase(wanted, *text)) match = port;
  }
  if (!match) return kRegistryNoDevice;
  *out = std::move(match);
  return Status::Ok();
}

}  // namespace halvane
