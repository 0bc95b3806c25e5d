#include "registry/lazy_registry.h"

namespace halvane {

DeviceRegistry* LazyRegistry::Get() {
  if (!opened_) {
    opened_ = true;
    open_status_ = opener_(for_writing_, &registry_);
    if (!open_status_.ok() || !registry_) {
      registry_.reset();
      if (open_status_.message().empty()) {
        open_status_ = Status::Error(open_status_.ok() ? kRegistryIoError : open_status_.code(),
                                     "the device registry cannot be opened");
      }
    }
  }
  return registry_.get();
}

RegistryEntry LazyRegistry::MatchFirstService(std::string_view class_name) {
  DeviceRegistry* r = Get();
  return r ? r->MatchFirstService(class_name) : RegistryEntry();
}

Status LazyRegistry::MatchServices(std::string_view class_name, RegistryIterator* out) {
  DeviceRegistry* r = Get();
  return r ? r->MatchServices(class_name, out) : open_status_;
}

RegistryEntry LazyRegistry::NextEntry(RegistryIterator& iterator) {
  DeviceRegistry* r = Get();
  return r ? r->NextEntry(iterator) : RegistryEntry();
}

Status LazyRegistry::ChildIterator(const RegistryEntry& entry, RegistryIterator* out) {
  DeviceRegistry* r = Get();
  return r ? r->ChildIterator(entry, out) : open_status_;
}

RegistryEntry LazyRegistry::ParentOf(const RegistryEntry& entry) {
  DeviceRegistry* r = Get();
  return r ? r->ParentOf(entry) : RegistryEntry();
}

std::optional<PropertyValue> LazyRegistry::ReadProperty(const RegistryEntry& entry,
                                                        std::string_view key) {
  DeviceRegistry* r = Get();
  return r ? r->ReadProperty(entry, key) : std::nullopt;
}

Status LazyRegistry::ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) {
  DeviceRegistry* r = Get();
  return r ? r->ReadAllProperties(entry, out) : open_status_;
}

bool LazyRegistry::ConformsTo(const RegistryEntry& entry, std::string_view class_name) {
  DeviceRegistry* r = Get();
  return r != nullptr && r->ConformsTo(entry, class_name);
}

Status LazyRegistry::WriteProperties(const RegistryEntry& entry, const Dictionary& settings) {
  DeviceRegistry* r = Get();
  return r ? r->WriteProperties(entry, settings) : open_status_;
}

Status LazyRegistry::DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                   std::string* plan) {
  DeviceRegistry* r = Get();
  return r ? r->DescribeWrite(entry, settings, plan) : open_status_;
}

void LazyRegistry::PrepareToWrite() {
  if (!opened_) {
    for_writing_ = true;
  } else if (registry_) {
    registry_->PrepareToWrite();
  }
}

Status LazyRegistry::WriteSnapshot(std::string* out) {
  DeviceRegistry* r = Get();
  return r ? r->WriteSnapshot(out) : open_status_;
}

}  // namespace halvane
