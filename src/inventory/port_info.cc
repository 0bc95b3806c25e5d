#include "inventory/port_info.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "base/text.h"
#include "registry/value_text.h"

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
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// A WWN from a Number read as a signed 64-bit integer, least significant byte first, as drivers
// of the older layout publish it.
// A port's characteristics in either layout, and the values the layout adds to its record.
struct Characteristics {
  PropertyValue holder = PropertyValue::Boolean(false);  // keeps chars alive
  const Dictionary* chars = nullptr;
  Dictionary record;
};

// The nested layout keeps the characteristics inside the protocol characteristics, and its
// ports take their slot from the registry around them.
Characteristics CharacteristicsOf(DeviceRegistry& registry, const RegistryEntry& entry) {
  Characteristics found;
  if (auto own = registry.ValueOf(entry, kControllerCharacteristicsKey);
      own && own->AsDictionary()) {
    found.holder = std::move(*own);
    found.chars = found.holder.AsDictionary();
    return found;
  }
  const auto protocol = registry.ValueOf(entry, kProtocolCharacteristicsKey);
  const Dictionary* members = protocol ? protocol->AsDictionary() : nullptr;
  const PropertyValue* nested =
      members ? FindMember(*members, kControllerCharacteristicsKey) : nullptr;
  if (nested == nullptr || nested->AsDictionary() == nullptr) return found;
  found.holder = *nested;
  found.chars = found.holder.AsDictionary();
  const std::optional<PropertyValue> slot =
      registry.SearchProperty(entry, kSlotNameKey, SearchDirection::kAncestors);
  std::string text = kBuiltInSlot;
  if (slot) {
    const Data* bytes = slot->AsData();
    text = bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    if (bytes == nullptr || !IsValidUtf8(text)) text = kUnreadableSlot;
  }
  found.record.insert_or_assign(kRecordSlot, PropertyValue::String(std::move(text)));
  return found;
}

// The port's WWN text, from the key its layout uses. A present name that does not format is no
// name; it never falls back to the other key.
std::optional<std::string> PortName(const Dictionary& chars) {
  if (const PropertyValue* data = FindMember(chars, kPortWorldWideNameKey)) return WwnOfData(*data);
  if (const PropertyValue* number = FindMember(chars, kWorldWidePortNameKey))
    return WwnOfNumber(*number);
  return std::nullopt;
}

}  // namespace

StatusOr<RegistryIterator> DiscoverControllers(DeviceRegistry& registry) {
  const StatusOr<RegistryEntry> user = registry.MatchFirstService(kUserControllerClass);
  if (!user.ok()) return user.status();
  return registry.MatchServices(*user ? kUserControllerClass : kFusionControllerClass);
}

std::string PortNameText(const Dictionary& record) {
  const PropertyValue* name = FindMember(record, kRecordPortName);
  return name && name->AsString() ? *name->AsString() : kUnreadablePortName;
}

StatusOr<Dictionary> BuildPortInfo(DeviceRegistry& registry, const RegistryEntry& entry) {
  Characteristics found = CharacteristicsOf(registry, entry);
  if (found.chars == nullptr)
    return Status::Error(kNotFound, "the entry has no controller characteristics");
  const Dictionary& chars = *found.chars;
  Dictionary& record = found.record;

  if (const PropertyValue* v = FindMember(chars, kPortStatusKey)) {
    record.insert_or_assign(kRecordPortStatus, *v);
  } else {
    CopyIfPresent(chars, kPortStateKey, kRecordPortStatus, &record);
  }

  if (const PropertyValue* description = FindMember(chars, kPortDescriptionKey)) {
    if (auto number = PortNumberFromDescription(*description))
      record.insert_or_assign(kRecordPortNumber, PropertyValue::Int64(*number));
  } else {
    CopyIfPresent(chars, kPortNumberKey, kRecordPortNumber, &record);
  }

  const PropertyValue* alpa = FindMember(chars, kAlpaKey);
  if (alpa && alpa->AsData() && alpa->AsData()->size() == 1) {
    record.insert_or_assign(kRecordHardLoopId, PropertyValue::Int64((*alpa->AsData())[0]));
  } else {
    CopyIfPresent(chars, kPortHardLoopIdKey, kRecordHardLoopId, &record);
  }

  CopyIfPresent(chars, kPortSpeedKey, kRecordSpeed, &record);
  CopyIfPresent(chars, kPortTopologyKey, kRecordTopology, &record);
  CopyIfPresent(chars, kSlotKey, kRecordSlot, &record);
  if (auto name = PortName(chars))
    record.insert_or_assign(kRecordPortName, PropertyValue::String(std::move(*name)));
  CopyIfPresent(chars, kCablingTypeKey, kRecordCableType, &record);
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
  for (const auto& [source, key] : kInventory) CopyIfPresent(chars, source, key, &record);
  return std::move(record);
}

StatusOr<RegistryEntry> FindPortByWWN(DeviceRegistry& registry, std::string_view wanted) {
  StatusOr<RegistryIterator> ports = DiscoverControllers(registry);
  if (!ports.ok()) return ports.status();
  RegistryEntry match;
  // Every port is looked at: with duplicate names the last one wins.
  for (RegistryEntry port = ports->Next(); port; port = ports->Next()) {
    const StatusOr<Dictionary> record = BuildPortInfo(registry, port);
    const PropertyValue* name = record.ok() ? FindMember(*record, kRecordPortName) : nullptr;
    if (name && EqualIgnoringCase(wanted, *name->AsString())) match = port;
  }
  if (!match) return Status::Error(kNoDevice, "no port is named " + std::string(wanted));
  return match;
}

StatusOr<std::vector<NamedPort>> DistinctPorts(DeviceRegistry& registry) {
  StatusOr<RegistryIterator> ports = DiscoverControllers(registry);
  if (!ports.ok()) return ports.status();
  std::vector<NamedPort> named;
  for (RegistryEntry port = ports->Next(); port; port = ports->Next()) {
    if (StatusOr<Dictionary> record = BuildPortInfo(registry, port); record.ok())
      named.push_back({std::move(port), std::move(*record)});
  }
  // From the last port back, each name's first is the last of its name.
  std::vector<NamedPort> distinct;
  std::set<std::string> seen;
  for (auto it = named.rbegin(); it != named.rend(); ++it) {
    if (seen.insert(PortNameText(it->record)).second) distinct.push_back(std::move(*it));
  }
  std::reverse(distinct.begin(), distinct.end());
  return distinct;
}

std::optional<std::uint64_t> PortHostNumber(DeviceRegistry& registry, std::string_view wanted) {
  const StatusOr<RegistryEntry> port = FindPortByWWN(registry, wanted);
  const StatusOr<Dictionary> record =
      port.ok() ? BuildPortInfo(registry, *port) : StatusOr<Dictionary>(port.status());
  const PropertyValue* number = record.ok() ? FindMember(*record, kRecordScsiHostNumber) : nullptr;
  const std::optional<std::int64_t> host = number ? number->AsInt64() : std::nullopt;
  if (!host || *host < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*host);
}

}  // namespace halvane
