#include "listing/full_report.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "inventory/controller_report.h"
#include "inventory/port_info.h"

namespace halvane {
namespace {

// The node WWN line converts into 256 bytes, every line of a logical unit block into 255; the
// terminator takes one byte of each.
constexpr std::size_t kNodeWwnArea = 256;
constexpr std::size_t kLunTextArea = 255;

std::optional<PropertyValue> Search(DeviceRegistry& registry, const RegistryEntry& unit,
                                    std::string_view key) {
  return registry.SearchProperty(unit, key, SearchDirection::kDescendants);
}

void PrintLunText(std::ostream& out, const std::optional<PropertyValue>& value,
                  std::string_view label) {
  if (!value) return;
  if (auto text = TextForLine(*value, kLunTextArea)) out << label << *text << "\n";
}

bool MemberEquals(const Dictionary& dict, std::string_view key, std::int32_t wanted) {
  const PropertyValue* v = FindMember(dict, key);
  const Number* n = v ? v->AsNumber() : nullptr;
  std::int32_t got = 0;
  return n != nullptr && n->ToInt32(&got) && got == wanted;
}

}  // namespace

std::optional<std::string> LunAddressText(DeviceRegistry& registry, const RegistryEntry& unit) {
  std::optional<PropertyValue> bytes_value = Search(registry, unit, kLogicalUnitBytesKey);
  if (bytes_value && bytes_value->AsData()) {
    const Data& bytes = *bytes_value->AsData();
    const std::uint8_t b0 = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t b1 = bytes.size() > 1 ? bytes[1] : 0;
    if (b0 == 0) return std::to_string(b1);
    return *FormatPaddedWWN(bytes_value);
  }
  std::optional<PropertyValue> number = Search(registry, unit, kLogicalUnitNumberKey);
  std::int32_t lun = 0;
  if (number && number->AsNumber() && number->AsNumber()->ToInt32(&lun)) {
    return std::to_string(lun);
  }
  return std::nullopt;
}

std::vector<PropertyValue> LunAliases(const std::optional<PropertyValue>& identification) {
  std::vector<PropertyValue> aliases;
  if (!identification || !identification->AsArray()) return aliases;
  for (const PropertyValue& item : *identification->AsArray()) {
    const Dictionary* designator = item.AsDictionary();
    // Vendor-specific ASCII designators of the addressed logical unit are its aliases.
    if (designator == nullptr || !MemberEquals(*designator, kCodeSetKey, 2) ||
        !MemberEquals(*designator, kIdentifierTypeKey, 0) ||
        !MemberEquals(*designator, kAssociationKey, 0)) {
      continue;
    }
    if (const PropertyValue* alias = FindMember(*designator, kIdentifierKey)) {
      aliases.push_back(*alias);
    }
  }
  return aliases;
}

bool HasFibreChannelInterconnect(DeviceRegistry& registry, const RegistryEntry& controller) {
  std::optional<PropertyValue> protocol = registry.SearchProperty(
      controller, kProtocolCharacteristicsKey, SearchDirection::kDescendants);
  const Dictionary* dict = protocol ? protocol->AsDictionary() : nullptr;
  const PropertyValue* interconnect = dict ? FindMember(*dict, kPhysicalInterconnectKey) : nullptr;
  const std::string* text = interconnect ? interconnect->AsString() : nullptr;
  return text && *text == kFibreChannelInterconnect;
}

std::optional<std::string> FormatPaddedWWN(const std::optional<PropertyValue>& value) {
  if (!value || value->AsData() == nullptr) return std::nullopt;
  const Data& data = *value->AsData();
  std::array<std::uint8_t, 8> bytes{};
  std::copy_n(data.begin(), std::min<std::size_t>(data.size(), bytes.size()), bytes.begin());
  return WWNText(bytes.data());
}

std::optional<std::string> FormatUniqueID(const std::optional<PropertyValue>& value) {
  if (!value || value->AsData() == nullptr) return std::nullopt;
  const Data& data = *value->AsData();
  std::array<std::uint8_t, 16> bytes{};
  std::copy_n(data.begin(), std::min<std::size_t>(data.size(), bytes.size()), bytes.begin());
  const std::size_t shown = data.size() > 8 ? 16 : 8;
  std::string text = "0x";
  text.reserve(2 + 2 * shown);
  for (std::size_t i = 0; i < shown; ++i) AppendHexByte(text, bytes[i]);
  return text;
}

void PrintLunBlock(DeviceRegistry& registry, const RegistryEntry& unit, std::ostream& out) {
  if (auto address = LunAddressText(registry, unit)) {
    out << "SCSI Logical Unit @ " << *address << "\n\n";
  }

  PrintLunText(out, Search(registry, unit, kProductRevisionLevelKey),
               "                     Revision:    ");
  if (auto id = FormatUniqueID(Search(registry, unit, kUniqueIdentifierKey))) {
    out << "       Logical Unit Unique ID:    " << *id << "\n";
  }
  PrintLunText(out, Search(registry, unit, kAluaSupportKey), "                 ALUA Support:    ");
  PrintLunText(out, Search(registry, unit, kAccessStateKey), "    Logical Unit Access State:    ");
  PrintLunText(out, Search(registry, unit, kLoadBalancingAlgorithmKey),
               "     Load Balancing Algorithm:    ");

  for (const PropertyValue& alias : LunAliases(Search(registry, unit, kDeviceIdentificationKey))) {
    PrintLunText(out, alias, "                    LUN Alias:    ");
  }

  PrintLunText(out, Search(registry, unit, kProductIdentificationKey),
               "                        Model:    ");
  PrintLunText(out, Search(registry, unit, kVendorIdentificationKey),
               "                       Vendor:    ");
  out << "\n";
}

namespace {

void PrintTargetLuns(DeviceRegistry& registry, const RegistryEntry& target, std::ostream& out) {
  RegistryIterator units;
  if (registry.ChildIterator(target, &units) != kRegistrySuccess) return;
  RegistryEntry unit = registry.NextEntry(units);
  if (!unit) return;
  out << "LUNs:\n\n";
  for (; unit; unit = registry.NextEntry(units)) PrintLunBlock(registry, unit, out);
}

void PrintControllerTargets(DeviceRegistry& registry, const RegistryEntry& controller,
                            std::ostream& out) {
  RegistryIterator children;
  if (registry.ChildIterator(controller, &children) != kRegistrySuccess) return;
  RegistryEntry child = registry.NextEntry(children);
  if (!child) return;

  PropertyValue table = PropertyValue::OfDictionary({});
  if (registry.ReadAllProperties(controller, &table) == kRegistrySuccess && table.AsDictionary()) {
    const PropertyValue* chars = FindMember(*table.AsDictionary(), kControllerCharacteristicsKey);
    const Dictionary* dict = chars ? chars->AsDictionary() : nullptr;
    const PropertyValue* node_wwn = dict ? FindMember(*dict, kNodeWorldWideNameKey) : nullptr;
    if (auto text = node_wwn ? FormatPaddedWWN(*node_wwn) : std::nullopt) {
      if (text->size() < kNodeWwnArea) out << "NodeWWN " << *text << "\n\n";
    }
  }

  for (; child; child = registry.NextEntry(children)) {
    if (!registry.ConformsTo(child, kScsiDeviceClass)) continue;
    RegistryIterator grandchildren;
    if (registry.ChildIterator(child, &grandchildren) != kRegistrySuccess) continue;
    for (RegistryEntry target = registry.NextEntry(grandchildren); target;
         target = registry.NextEntry(grandchildren)) {
      if (registry.ConformsTo(target, kScsiTargetClass)) PrintTargetLuns(registry, target, out);
    }
  }
}

}  // namespace

RegistryStatus PrintTargetSection(DeviceRegistry& registry, std::ostream& out) {
  RegistryIterator controllers;
  if (RegistryStatus s = registry.MatchServices(kScsiControllerClass, &controllers);
      s != kRegistrySuccess) {
    return s;
  }
  for (RegistryEntry controller = registry.NextEntry(controllers); controller;
       controller = registry.NextEntry(controllers)) {
    if (HasFibreChannelInterconnect(registry, controller))
      PrintControllerTargets(registry, controller, out);
  }
  return kRegistrySuccess;
}

std::int32_t PrintFullReport(DeviceRegistry& registry, std::ostream& out) {
  out << "\nControllers\n\n";
  if (std::int32_t s = PrintControllerSection(registry, out); s != 0) return s;
  out << "Targets\n\n";
  const RegistryStatus status = PrintTargetSection(registry, out);
  out << "\n\n";
  return static_cast<std::int32_t>(status);
}

}  // namespace halvane
