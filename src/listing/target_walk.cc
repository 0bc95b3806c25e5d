#include "listing/target_walk.h"

#include <algorithm>
#include <array>

#include "registry/vocabulary.h"

namespace halvane {
namespace {

bool MemberEquals(const Dictionary& dict, std::string_view key, std::int32_t wanted) {
  const PropertyValue* v = FindMember(dict, key);
  return v != nullptr && v->AsInt32() == wanted;
}

std::optional<std::string> FormatUniqueID(const std::optional<PropertyValue>& value) {
  if (!value || value->AsData() == nullptr) return std::nullopt;
  const Data& data = *value->AsData();
  std::array<std::uint8_t, 16> bytes{};
  std::copy_n(data.begin(), std::min<std::size_t>(data.size(), bytes.size()), bytes.begin());
  const std::size_t shown = data.size() > 8 ? 16 : 8;
  std::string text = "0x";
  AppendHex(text, std::span(bytes).first(shown));
  return text;
}

// The children of entry, or none when they cannot be had: a walk passes over what it cannot
// list.
RegistryIterator Children(DeviceRegistry& registry, const RegistryEntry& entry) {
  StatusOr<RegistryIterator> children = registry.ChildIterator(entry);
  return children.ok() ? std::move(*children) : RegistryIterator();
}

}  // namespace

bool HasFibreChannelInterconnect(DeviceRegistry& registry, const RegistryEntry& controller) {
  std::optional<PropertyValue> protocol = registry.SearchProperty(
      controller, kProtocolCharacteristicsKey, SearchDirection::kDescendants);
  const Dictionary* dict = protocol ? protocol->AsDictionary() : nullptr;
  const PropertyValue* interconnect = dict ? FindMember(*dict, kPhysicalInterconnectKey) : nullptr;
  const std::string* text = interconnect ? interconnect->AsString() : nullptr;
  return text && *text == kFibreChannelInterconnect;
}

std::optional<std::string> ControllerNodeName(DeviceRegistry& registry,
                                              const RegistryEntry& controller) {
  const auto chars = registry.ValueOf(controller, kControllerCharacteristicsKey);
  const Dictionary* dict = chars ? chars->AsDictionary() : nullptr;
  const PropertyValue* node_wwn = dict ? FindMember(*dict, kNodeWorldWideNameKey) : nullptr;
  return node_wwn ? FormatPaddedWWN(*node_wwn) : std::nullopt;
}

std::optional<std::string> LunView::Address() const {
  std::optional<PropertyValue> bytes_value = Search(kLogicalUnitBytesKey);
  if (bytes_value && bytes_value->AsData()) {
    const Data& bytes = *bytes_value->AsData();
    const std::uint8_t b0 = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t b1 = bytes.size() > 1 ? bytes[1] : 0;
    if (b0 == 0) return std::to_string(b1);
    return FormatPaddedWWN(bytes_value);
  }
  const std::optional<PropertyValue> number = Search(kLogicalUnitNumberKey);
  const std::optional<std::int32_t> lun = number ? number->AsInt32() : std::nullopt;
  return lun ? std::optional(std::to_string(*lun)) : std::nullopt;
}

std::optional<std::string> LunView::UniqueId() const {
  return FormatUniqueID(Search(kUniqueIdentifierKey));
}

std::vector<PropertyValue> LunView::Aliases() const {
  std::vector<PropertyValue> aliases;
  const std::optional<PropertyValue> identification = Search(kDeviceIdentificationKey);
  if (!identification || !identification->AsArray()) return aliases;
  for (const PropertyValue& item : *identification->AsArray()) {
    const Dictionary* designator = item.AsDictionary();
    if (designator == nullptr || !MemberEquals(*designator, kCodeSetKey, 2) ||
        !MemberEquals(*designator, kIdentifierTypeKey, 0) ||
        !MemberEquals(*designator, kAssociationKey, 0)) {
      continue;
    }
    if (const PropertyValue* alias = FindMember(*designator, kIdentifierKey))
      aliases.push_back(*alias);
  }
  return aliases;
}

std::optional<PropertyValue> LunView::MapName() const {
  const std::optional<PropertyValue> map = Own(kMultipathMapKey);
  const Dictionary* members = map ? map->AsDictionary() : nullptr;
  const PropertyValue* name = members ? FindMember(*members, kMapNameKey) : nullptr;
  return name ? std::optional<PropertyValue>(*name) : std::nullopt;
}

void ForEachTarget(DeviceRegistry& registry, const RegistryEntry& controller,
                   const std::function<void()>& children_found,
                   const std::function<void(const TargetView&)>& target) {
  RegistryIterator children = Children(registry, controller);
  RegistryEntry child = children.Next();
  if (!child) return;
  children_found();
  for (; child; child = children.Next()) {
    if (!registry.ConformsTo(child, kScsiDeviceClass)) continue;
    RegistryIterator grandchildren = Children(registry, child);
    for (RegistryEntry entry = grandchildren.Next(); entry; entry = grandchildren.Next()) {
      if (registry.ConformsTo(entry, kScsiTargetClass)) target(TargetView{registry, child, entry});
    }
  }
}

void ForEachNvmeController(DeviceRegistry& registry, const RegistryEntry& port,
                           const std::function<void(const TargetView&)>& controller) {
  RegistryIterator children = Children(registry, port);
  for (RegistryEntry child = children.Next(); child; child = children.Next()) {
    if (registry.ConformsTo(child, kSysfsNvmeControllerClass))
      controller(TargetView{registry, child, child});
  }
}

void ForEachLun(DeviceRegistry& registry, const RegistryEntry& target,
                const std::function<void(const LunView&)>& lun) {
  RegistryIterator units = Children(registry, target);
  for (RegistryEntry unit = units.Next(); unit; unit = units.Next()) lun(LunView{registry, unit});
}

std::optional<std::string> FormatPaddedWWN(const std::optional<PropertyValue>& value) {
  if (!value || value->AsData() == nullptr) return std::nullopt;
  const Data& data = *value->AsData();
  std::array<std::uint8_t, 8> bytes{};
  std::copy_n(data.begin(), std::min<std::size_t>(data.size(), bytes.size()), bytes.begin());
  return WwnText(bytes);
}

}  // namespace halvane
