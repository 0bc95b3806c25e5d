// Port settings on a live host: which driver attribute takes each setting, and how a settings
// request is planned, written and, when a write is refused, undone. What differs from one driver
// to another is a row of kDriverSettings; the code reads rows and never names a driver.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "registry/property_value.h"
#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// A topology as the settings store it and as a driver's attribute takes it.
struct TopologyValue {
  std::string_view stored;
  const char* written;
};

// How one driver takes port settings through its scsi_host attributes.
struct DriverSettings {
  const char* driver;
  // The speed attribute and the rates it takes, in Gbit/s (0: automatic); written as the number.
  const char* speed_attribute;
  std::span<const unsigned> speeds;
  // The topology attribute and the values it takes; nullptr when the driver has none.
  const char* topology_attribute;
  std::span<const TopologyValue> topologies;
  // Whether the attributes read back the configured value (then a value already set is not
  // written again, and a refused request can be undone), rather than the link's state.
  bool reads_back_configured;
  // Whether the attributes take "nolip <value>", which records a value without resetting the
  // link.
  bool takes_nolip;
};

extern const std::span<const DriverSettings> kDriverSettings;

// A host whose settings are written: its name and the device its port was read from.
struct HostPlace {
  std::string name;
  std::string device;
};

// Writes a port's settings to the driver attributes of its host in the tree at root. Every key
// is checked before anything is written: a setting the host cannot take refuses the whole
// request (kRegistryUnsupported) with nothing written. Speed goes before topology; every write
// but the last says "nolip" when the driver takes it, so the link resets once, with every value
// in place. A refused write gets every earlier change undone; a change that cannot be undone is
// named on errors.
class SettingsDriver {
 public:
  SettingsDriver(std::string root, SysfsReader& reader, AttributeWriter& writer,
                 std::ostream& errors)
      : root_(std::move(root)), reader_(reader), writer_(writer), errors_(errors) {}

  Status Apply(const HostPlace& host, const Dictionary& settings) const;

 private:
  struct Change;
  Status Plan(const std::string& folder, const Dictionary& settings,
              std::vector<Change>* plan) const;
  Status Write(const std::string& folder, const Change& change, const std::string& value,
               bool nolip) const;
  void Restore(const HostPlace& host, const std::string& folder, const Change& change) const;

  std::string root_;
  SysfsReader& reader_;
  AttributeWriter& writer_;
  std::ostream& errors_;
};

}  // namespace halvane
