// A registry that is opened on its first use, so that runs which never need it (help, version,
// a rejected command line, the root check) never read it. When opening fails every operation
// fails, and the reason is kept for the process entry to report.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "registry/device_registry.h"

namespace halvane {

class LazyRegistry : public DeviceRegistry {
 public:
  // Opens the registry, for a run that will write to it or not, or answers nullptr with the
  // reason in *error.
  using Opener =
      std::function<std::unique_ptr<DeviceRegistry>(bool for_writing, std::string* error)>;

  explicit LazyRegistry(Opener opener) : opener_(std::move(opener)) {}

  bool opened() const { return opened_; }
  // Why the registry could not be opened, once an operation tried.
  const std::optional<std::string>& open_error() const { return open_error_; }

  RegistryEntry MatchFirstService(std::string_view class_name) override;
  RegistryStatus MatchServices(std::string_view class_name, RegistryIterator* out) override;
  RegistryEntry NextEntry(RegistryIterator& iterator) override;
  RegistryStatus ChildIterator(const RegistryEntry& entry, RegistryIterator* out) override;
  std::optional<PropertyValue> ReadProperty(const RegistryEntry& entry,
                                            std::string_view key) override;
  RegistryStatus ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) override;
  std::optional<PropertyValue> SearchProperty(const RegistryEntry& entry, std::string_view key,
                                              SearchDirection direction) override;
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override;
  RegistryStatus WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override;
  void PrepareToWrite() override;
  std::string WriteFailureReason() const override;
  RegistryStatus WriteSnapshot(std::string* out) override;

 private:
  DeviceRegistry* Get();

  Opener opener_;
  bool opened_ = false;
  bool for_writing_ = false;
  std::unique_ptr<DeviceRegistry> registry_;
  std::optional<std::string> open_error_;
};

}  // namespace halvane
