#include "registry/lazy_registry.h"

namespace halvane {

DeviceRegistry* LazyRegistry::Get() {
  if (!opened_) {
    opened_ = true;
    std::string error;
    registry_ = opener_(for_writing_, &error);
    if (!registry_) open_error_ = error.empty() ? "the device registry cannot be opened" : error;
  }
  return registry_.get();
}

RegistryEntry LazyRegistry::MatchFirstService(std::string_view class_name) {
  DeviceRegistry* r = Get();
  return r ? r->MatchFirstService(class_name) : RegistryEntry();
}

RegistryStatus LazyRegistry::MatchServices(std::string_view class_name, RegistryIterator* out) {
  DeviceRegistry* r = Get();
  return r ? r->MatchServices(class_name, out) : kRegistryIoError;
}

RegistryEntry LazyRegistry::NextEntry(RegistryIterator& iterator) {
  DeviceRegistry* r = Get();
  return r ? r->NextEntry(iterator) : RegistryEntry();
}

RegistryStatus LazyRegistry::ChildIterator(const RegistryEntry& entry, RegistryIterator* out) {
  DeviceRegistry* r = Get();
  return r ? r->ChildIterator(entry, out) : kRegistryIoError;
}

std::optional<PropertyValue> LazyRegistry::ReadProperty(const RegistryEntry& entry,
                                                        std::string_view key) {
  DeviceRegistry* r = Get();
  return r ? r->ReadProperty(entry, key) : std::nullopt;
}

RegistryStatus LazyRegistry::ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) {
  DeviceRegistry* r = Get();
  return r ? r->ReadAllProperties(entry, out) : kRegistryIoError;
}

std::optional<PropertyValue> LazyRegistry::SearchProperty(const RegistryEntry& entry,
                                                          std::string_view key,
                                                          SearchDirection direction) {
  DeviceRegistry* r = Get();
  return r ? r->SearchProperty(entry, key, direction) : std::nullopt;
}

bool LazyRegistry::ConformsTo(const RegistryEntry& entry, std::string_view class_name) {
  DeviceRegistry* r = Get();
  return r != nullptr && r->ConformsTo(entry, class_name);
}

RegistryStatus LazyRegistry::WriteProperties(const RegistryEntry& entry,
                                             const Dictionary& settings) {
  DeviceRegistry* r = Get();
  return r ? r->WriteProperties(entry, settings) : kRegistryIoError;
}

void LazyRegistry::PrepareToWrite() {
  if (!opened_) {
    for_writing_ = true;
  } else if (registry_) {
    registry_->PrepareToWrite();
  }
}

std::string LazyRegistry::WriteFailureReason() const {
  return registry_ ? registry_->WriteFailureReason() : std::string();
}

RegistryStatus LazyRegistry::WriteSnapshot(std::string* out) {
  DeviceRegistry* r = Get();
  return r ? r->WriteSnapshot(out) : kRegistryIoError;
}

}  // namespace halvane
