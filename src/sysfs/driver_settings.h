// Port settings on a live host: which driver attribute takes each setting and what it can take,
// and how a settings request is checked, planned, written and, when a write is refused, undone.
// What differs from one driver to another is a row of a table (driver_settings.cc); the code reads
// rows and never names a driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/property_value.h"
#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// A host whose settings are written: its name and its fc_host folder.
struct HostPlace {
  std::string name;
  std::string fc_folder;
};

// Writes a port's settings to the driver attributes of its host in the tree at root. Everything
// is checked before anything is written: a setting the host cannot take (a driver without that
// attribute, a speed the adapter cannot run, an adapter whose speed cannot be set, an NPIV
// virtual port, a hard AL_PA) refuses the whole request with kUnsupported, nothing
// written, and the status says why and what to do. Speed goes before topology; every write but
// the last says "nolip" when the driver takes it, so the link resets once, with every value in
// place. A refused write gets every earlier change undone; a change that cannot be undone is
// named in the refusal, after its reason.
class SettingsDriver {
 public:
  SettingsDriver(std::string root, SysfsReader& reader, AttributeWriter& writer)
      : root_(std::move(root)), reader_(reader), writer_(writer) {}

  Status Apply(const HostPlace& host, const Dictionary& settings) const;
  // What Apply would write, in order, with nothing written: each attribute with its value now
  // and the one asked for, the bytes, and how many link resets. Refuses as Apply would before
  // writing.
  StatusOr<std::string> Describe(const HostPlace& host, const Dictionary& settings) const;

 private:
  struct Change;
  struct Changes;
  // The host's driver folder and the changes the settings ask of it, checked; with hold, the
  // host is kept for this run from the first read on.
  StatusOr<Changes> Plan(const HostPlace& host, const Dictionary& settings, bool hold) const;
  // The parts of a plan: the host's driver folder; the change of one setting, whose refusal names
  // driver; and the changes in the order they are made, each with what it replaces.
  StatusOr<std::string> HostFolder(const HostPlace& host, bool hold) const;
  StatusOr<Change> PlanSpeed(const HostPlace& host, const std::string& folder,
                             const std::string& driver, const std::string& stored) const;
  StatusOr<Change> PlanTopology(const HostPlace& host, const std::string& folder,
                                const std::string& driver, const std::string& stored) const;
  StatusOr<Changes> Ordered(const HostPlace& host, const std::string& folder,
                            std::optional<Change> speed, std::optional<Change> topology) const;
  Status Write(const std::string& folder, const Change& change, const std::string& value,
               bool nolip) const;
  // Writes back what change replaced; why it could not, naming what the attribute is left at.
  Status Restore(const HostPlace& host, const std::string& folder, const Change& change) const;

  std::string root_;
  SysfsReader& reader_;
  AttributeWriter& writer_;
};

}  // namespace halvane
