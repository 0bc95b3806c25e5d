// A registry that is opened on its first use, so that runs which never need it (help, version,
// a rejected command line, the root check) never read it. When opening fails every operation
// fails, and why is kept for the process entry to report.
#pragma once

#include <functional>
#include <memory>

#include "registry/device_registry.h"

namespace halvane {

class LazyRegistry : public DeviceRegistry {
 public:
  // Opens the registry, for a run that will write to it or not, into *out.
  using Opener = std::function<Status(bool for_writing, std::unique_ptr<DeviceRegistry>* out)>;

  explicit LazyRegistry(Opener opener) : opener_(std::move(opener)) {}

  // Why the registry could not be opened, once an operation tried; ok otherwise.
  const Status& open_status() const { return open_status_; }

  RegistryEntry MatchFirstService(std::string_view class_name) override;
  Status MatchServices(std::string_view class_name, RegistryIterator* out) override;
  RegistryEntry NextEntry(RegistryIterator& iterator) override;
  Status ChildIterator(const RegistryEntry& entry, RegistryIterator* out) override;
  RegistryEntry ParentOf(const RegistryEntry& entry) override;
  std::optional<PropertyValue> ReadProperty(const RegistryEntry& entry,
                                            std::string_view key) override;
  Status ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) override;
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override;
  Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override;
  Status DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                       std::string* plan) override;
  void PrepareToWrite() override;
  Status WriteSnapshot(std::string* out) override;

 private:
  DeviceRegistry* Get();

  Opener opener_;
  bool opened_ = false;
  bool for_writing_ = false;
  std::unique_ptr<DeviceRegistry> registry_;
  Status open_status_;
};

}  // namespace halvane
