#include "sysfs/attribute_copy.h"

#include <climits>

#include "registry/vocabulary.h"
#include "sysfs/sysfs_names.h"

namespace halvane {

std::optional<std::string> Kept(Reading reading, std::string_view key, Dictionary* table) {
  if (reading.ok()) return std::move(*reading);
  RecordReadFailure(table, key, reading.status());
  return std::nullopt;
}

std::vector<std::string> Kept(Listing listing, std::string_view key, Dictionary* table) {
  if (listing.ok()) return std::move(*listing);
  RecordReadFailure(table, key, listing.status());
  return {};
}

void CopyText(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
              Dictionary* table) {
  if (auto v = Kept(reader.ReadText(folder, file), key, table))
    table->insert_or_assign(key, AttributeText(*v));
}

void CopyNumber(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
                Dictionary* table) {
  if (auto v = Kept(reader.ReadText(folder, file), key, table); v && ParseDecimal(*v))
    table->insert_or_assign(key, PropertyValue::UInt64(*ParseDecimal(*v)));
}

void CopyHoldingMap(SysfsReader& reader, const std::string& disk, Dictionary* table) {
  for (const std::string& holder : Kept(reader.List(disk + "/holders"), kMultipathMapKey, table)) {
    const auto map = Kept(reader.Resolve(disk + "/holders/" + holder), kMultipathMapKey, table);
    const auto uuid =
        map ? Kept(reader.ReadText(*map + "/dm", "uuid"), kMultipathMapKey, table) : std::nullopt;
    if (!uuid || !MultipathMapWwid(*uuid)) continue;
    Dictionary held{{kMapDeviceKey, AttributeText(holder)}, {kMapUuidKey, AttributeText(*uuid)}};
    if (auto name = Kept(reader.ReadText(*map + "/dm", "name"), kMultipathMapKey, table))
      held.insert_or_assign(kMapNameKey, AttributeText(*name));
    table->insert_or_assign(kMultipathMapKey, PropertyValue::OfDictionary(std::move(held)));
    return;
  }
}

void CopyCapacity(SysfsReader& reader, const std::string& folder, Dictionary* table) {
  const auto text = Kept(reader.ReadText(folder, "size"), kCapacityKey, table);
  const auto sectors = text ? ParseDecimal(*text) : std::nullopt;
  if (sectors && *sectors <= UINT64_MAX / 512)
    table->insert_or_assign(kCapacityKey, PropertyValue::UInt64(*sectors * 512));
}

}  // namespace halvane
