// The host's registry of driver service entries, as the tool uses it. Everything the tool knows
// about adapters comes through this interface, and settings go back through it; it is abstract
// so that a snapshot file, the live sysfs tree and tests can each stand behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "registry/property_value.h"
#include "registry/status.h"

namespace halvane {

// A counted handle to one service entry. Copying retains it, destruction releases it; an empty
// handle stands for "none".
class RegistryEntry {
 public:
  // What an implementation keeps behind a handle; only the implementation that made a handle
  // looks inside it.
  struct Impl {
    virtual ~Impl() = default;
  };

  RegistryEntry() = default;
  explicit RegistryEntry(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  explicit operator bool() const { return impl_ != nullptr; }
  Impl* impl() const { return impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

// A counted handle yielding entries one at a time, each once, then none.
class RegistryIterator {
 public:
  struct Impl {
    virtual ~Impl() = default;
    virtual RegistryEntry Next() = 0;
  };

  RegistryIterator() = default;
  explicit RegistryIterator(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  explicit operator bool() const { return impl_ != nullptr; }
  Impl* impl() const { return impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

enum class SearchDirection { kAncestors, kDescendants };

class DeviceRegistry {
 public:
  DeviceRegistry() = default;
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;
  virtual ~DeviceRegistry() = default;

  // The first service, in registry order, whose class is or derives from class_name; empty
  // when there is none.
  virtual RegistryEntry MatchFirstService(std::string_view class_name) = 0;

  // All services whose class is or derives from class_name, in registry order, in *out.
  virtual Status MatchServices(std::string_view class_name, RegistryIterator* out) = 0;

  // The iterator's next entry, or an empty handle at the end.
  virtual RegistryEntry NextEntry(RegistryIterator& iterator);

  // The direct children of entry, in order, in *out.
  virtual Status ChildIterator(const RegistryEntry& entry, RegistryIterator* out) = 0;

  // The parent of entry, or an empty handle for the root.
  virtual RegistryEntry ParentOf(const RegistryEntry& entry) = 0;

  // The value under key in the entry's own table, or nothing.
  virtual std::optional<PropertyValue> ReadProperty(const RegistryEntry& entry,
                                                    std::string_view key) = 0;

  // The entry's whole own table, as a Dictionary value, in *out.
  virtual Status ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) = 0;

  // The entry's own value under key if it has one; otherwise the first one found walking its
  // children (kDescendants, depth first, in child order) or its parents (kAncestors, nearest
  // first); otherwise nothing. One walk for every registry, made of the operations above; it is
  // bounded by the tree and never recurses on the call stack. A child list that cannot be had
  // is not walked.
  std::optional<PropertyValue> SearchProperty(const RegistryEntry& entry, std::string_view key,
                                              SearchDirection direction);

  // Whether the entry's class is class_name or derives from it.
  virtual bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) = 0;

  // Hands settings to the driver behind entry and answers the driver's status, with why it
  // refused them; kRegistryNoDevice when the device is gone.
  virtual Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) = 0;

  // What WriteProperties would do with settings, into *plan, with nothing written; refuses as
  // WriteProperties would before it writes anything. kRegistryUnsupported for a registry that
  // cannot say.
  virtual Status DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                               std::string* plan);

  // Announces, before anything is read, that this run is going to write: a backend whose
  // writers must not interleave keeps the others out from the read on.
  virtual void PrepareToWrite() {}

  // The whole registry written down as a snapshot document, which a later run can read in its
  // place; kRegistryUnsupported for a registry that cannot be written down.
  virtual Status WriteSnapshot(std::string* out);
};

}  // namespace halvane
