#include "sysfs/driver_settings.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <vector>

#include "registry/vocabulary.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

constexpr unsigned kLpfcSpeeds[] = {0, 1, 2, 4};
constexpr TopologyValue kLpfcTopologies[] = {{"Automatic", "0"}, {"N_Port", "2"}, {"NL_Port", "4"}};
// qla2xxx's port_speed takes a rate only on the adapters that can set one.
constexpr unsigned kPortSpeedSpeeds[] = {0, 4};

constexpr DriverSettings kRows[] = {
    {"lpfc", "lpfc_link_speed", kLpfcSpeeds, "lpfc_topology", kLpfcTopologies, true, true},
    {"qla2xxx", "port_speed", kPortSpeedSpeeds, nullptr, {}, false, false},
};

std::optional<unsigned> SpeedRate(std::string_view stored) {
  for (const SpeedKeyword& k : kSpeedKeywords) {
    if (k.stored == stored) return k.gbit;
  }
  return std::nullopt;
}

}  // namespace

const std::span<const DriverSettings> kDriverSettings = kRows;

// One driver attribute to change.
struct SettingsDriver::Change {
  const char* attribute;
  std::string value;
  const DriverSettings* row;
  std::string previous;  // the configured value before the run, when the driver reads it back
};

// The changes the settings ask of the host whose attributes are in folder, speed first: lpfc's
// topology store checks loop mode against the configured speed. Each setting goes to the first
// row whose attribute for it the host has.
Status SettingsDriver::Plan(const std::string& folder, const Dictionary& settings,
                            std::vector<Change>* plan) const {
  std::optional<Change> speed;
  std::optional<Change> topology;
  for (const auto& [key, value] : settings) {
    const std::string* text = value.AsString();
    const DriverSettings* row = nullptr;
    if (key == kSpeedSetting && text) {
      for (const DriverSettings& r : kDriverSettings) {
        if (!row && reader_.Exists(folder + "/" + r.speed_attribute)) row = &r;
      }
      const auto rate = SpeedRate(*text);
      if (!row || !rate ||
          std::find(row->speeds.begin(), row->speeds.end(), *rate) == row->speeds.end())
        return kRegistryUnsupported;
      speed = Change{row->speed_attribute, std::to_string(*rate), row, {}};
    } else if (key == kTopologySetting && text) {
      for (const DriverSettings& r : kDriverSettings) {
        if (!row && r.topology_attribute && reader_.Exists(folder + "/" + r.topology_attribute))
          row = &r;
      }
      if (!row) return kRegistryUnsupported;
      const TopologyValue* found = nullptr;
      for (const TopologyValue& t : row->topologies) {
        if (t.stored == *text) found = &t;
      }
      if (!found) return kRegistryUnsupported;
      topology = Change{row->topology_attribute, found->written, row, {}};
    } else {
      // No Linux driver takes a hard AL_PA at run time, and nothing else is a setting.
      return kRegistryUnsupported;
    }
  }
  for (std::optional<Change>* change : {&speed, &topology}) {
    if (!*change) continue;
    if ((*change)->row->reads_back_configured) {
      // Without the configured value a refusal could not be undone: nothing is written. An
      // attribute that cannot be read reads as "", which is no number either.
      const auto number = ParseDecimal(reader_.ReadText(folder, (*change)->attribute).value_or(""));
      if (!number) return kRegistryUnsupported;
      // A value already set is not written: lpfc would reset the link for nothing.
      if (*number == *ParseDecimal((*change)->value)) continue;
      (*change)->previous = std::to_string(*number);
    } else if (topology) {
      // Only a change that can be undone may come before another.
      return kRegistryUnsupported;
    }
    plan->push_back(**change);
  }
  return Status::Ok();
}

Status SettingsDriver::Apply(const HostPlace& host, const Dictionary& settings) const {
  // A host that is gone is not found; one whose link leads anywhere but its own folder inside
  // the tree is refused below.
  if (!reader_.Exists(root_ + "/class/scsi_host/" + host.name)) return kRegistryNoDevice;
  const auto folder = ScsiHostFolder(reader_, root_, host.name, host.device);
  if (!folder || IsVirtualPort(root_, *folder)) return kRegistryUnsupported;
  // From the first read to the last write no other run changes this host.
  if (Status held = writer_.Hold(*folder); !held.ok())
    return Status::Error(held.code(), host.name + ": " + held.message());
  std::vector<Change> plan;
  if (Status planned = Plan(*folder, settings, &plan); !planned.ok()) return planned;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const bool last = i + 1 == plan.size();
    const Status written =
        Write(*folder, plan[i], plan[i].value, plan[i].row->takes_nolip && !last);
    if (written.ok()) continue;
    // A refused change leaves none of the others made.
    for (std::size_t j = i; j-- > 0;) Restore(host, *folder, plan[j]);
    // A host that went away while it was written is a port not found.
    const bool gone = written.code() != kRegistryUnsupported && !reader_.IsFolder(*folder);
    return Status::Error(gone ? kRegistryNoDevice : written.code(),
                         host.name + ": " + plan[i].attribute + ": " + written.message());
  }
  return Status::Ok();
}

Status SettingsDriver::Write(const std::string& folder, const Change& change,
                             const std::string& value, bool nolip) const {
  return writer_.Write(folder, change.attribute, (nolip ? "nolip " : "") + value + "\n");
}

void SettingsDriver::Restore(const HostPlace& host, const std::string& folder,
                             const Change& change) const {
  const Status written = Write(folder, change, change.previous, change.row->takes_nolip);
  if (written.ok()) return;
  errors_ << "halvane: " << host.name << ": " << change.attribute << " is left at " << change.value
          << " (writing back " << change.previous << " failed: " << written.message() << ")\n";
}

}  // namespace halvane
