#include "registry/device_registry.h"

#include <vector>

namespace halvane {

RegistryEntry DeviceRegistry::NextEntry(RegistryIterator& iterator) {
  return iterator ? iterator.impl()->Next() : RegistryEntry();
}

std::optional<PropertyValue> DeviceRegistry::SearchProperty(const RegistryEntry& entry,
                                                            std::string_view key,
                                                            SearchDirection direction) {
  if (auto own = ReadProperty(entry, key)) return own;
  if (direction == SearchDirection::kAncestors) {
    for (RegistryEntry parent = ParentOf(entry); parent; parent = ParentOf(parent)) {
      if (auto value = ReadProperty(parent, key)) return value;
    }
    return std::nullopt;
  }
  // Depth first, in child order: one iterator per open level, so that a live registry holds only
  // the entries of the levels the walk is on.
  std::vector<RegistryIterator> open;
  if (RegistryIterator children; ChildIterator(entry, &children).ok())
    open.push_back(std::move(children));
  while (!open.empty()) {
    const RegistryEntry next = NextEntry(open.back());
    if (!next) {
      open.pop_back();
      continue;
    }
    if (auto value = ReadProperty(next, key)) return value;
    if (RegistryIterator children; ChildIterator(next, &children).ok())
      open.push_back(std::move(children));
  }
  return std::nullopt;
}

Status DeviceRegistry::DescribeWrite(const RegistryEntry&, const Dictionary&, std::string*) {
  return kRegistryUnsupported;
}

Status DeviceRegistry::WriteSnapshot(std::string*) { return kRegistryUnsupported; }

}  // namespace halvane
