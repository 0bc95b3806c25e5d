#include "listing/map_walk.h"

#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/json_writer.h"
#include "registry/value_text.h"
#include "registry/vocabulary.h"

namespace halvane {

MapView::MapView(DeviceRegistry& registry, const RegistryEntry& map)
    : registry_(registry), map_(map), paths_value_(registry.ValueOf(map, kMapPathsKey)) {
  const Array* items = paths_value_ ? paths_value_->AsArray() : nullptr;
  for (const PropertyValue& item : items ? *items : Array{}) {
    if (const Dictionary* path = item.AsDictionary()) paths_.push_back(path);
  }
}

std::optional<std::string> MapView::Wwid() const {
  const std::optional<std::string_view> uuid = TextOf(Own(kMapUuidKey));
  const std::optional<std::string_view> wwid = uuid ? MultipathMapWwid(*uuid) : std::nullopt;
  return wwid ? std::optional<std::string>(*wwid) : std::nullopt;
}

std::optional<std::string> MapView::PathState(const Dictionary& path) {
  if (FindMember(path, kNvmeControllerKey))
    return ControllerState(MemberValue(path, kNvmeControllerStateKey));
  return UnitState(MemberValue(path, kScsiDeviceStateKey));
}

bool MapView::PathStateUnreadable(const Dictionary& path) {
  return !RecordedFailures(path, kScsiDeviceStateKey).empty() ||
         !RecordedFailures(path, kNvmeControllerStateKey).empty();
}

std::size_t MapView::ActivePaths() const {
  std::size_t active = 0;
  for (const Dictionary* path : paths_) {
    const std::optional<std::string> state = PathState(*path);
    active += state == "running" || state == "live";
  }
  return active;
}

bool MapView::ThroughPort(std::string_view port_name) const {
  for (const Dictionary* path : paths_) {
    const PropertyValue* wwn = FindMember(*path, kPortWorldWideNameKey);
    if (wwn && WwnOfData(*wwn) == port_name) return true;
  }
  return false;
}

void ForEachMap(DeviceRegistry& registry, const std::optional<std::string>& only_port,
                const std::function<void(const MapView&)>& map) {
  StatusOr<RegistryIterator> maps = registry.MatchServices(kSysfsMultipathMapClass);
  if (!maps.ok()) return;
  for (RegistryEntry entry = maps->Next(); entry; entry = maps->Next()) {
    const MapView view(registry, entry);
    if (!only_port || view.ThroughPort(*only_port)) map(view);
  }
}

}  // namespace halvane
