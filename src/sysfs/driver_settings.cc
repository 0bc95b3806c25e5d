#include "sysfs/driver_settings.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <span>
#include <vector>

#include "registry/vocabulary.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

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
  // The PCI device ids of the adapters whose speed can be set; empty when every adapter of the
  // driver can.
  std::span<const std::uint16_t> speed_devices;
  // The topology attribute and the values it takes; nullptr when the driver has none.
  const char* topology_attribute;
  std::span<const TopologyValue> topologies;
  // Whether the attributes read back the configured value (then a value already set is not
  // written again, and a refused request can be undone), rather than the link's state.
  bool reads_back_configured;
  // Whether the attributes take "nolip <value>", which records a value without resetting the
  // link; every other write resets it.
  bool takes_nolip;
  // What else the driver refuses, for a write it answers EINVAL: said with the refusal.
  const char* refuses;
};

// lpfc_link_speed_store (lpfc_attr.c) takes these, and refuses a rate the adapter's link modes
// do not have; lpfc_topology_store takes 0 to 6, of which these three are the topologies.
constexpr unsigned kLpfcSpeeds[] = {0, 1, 2, 4, 8, 16, 32, 64};
constexpr TopologyValue kLpfcTopologies[] = {{"Automatic", "0"}, {"N_Port", "2"}, {"NL_Port", "4"}};
// qla2x00_port_speed_store (qla_attr.c) sets a rate only on 27xx and 28xx adapters, and takes any
// other number for automatic: only these are written.
constexpr unsigned kPortSpeedSpeeds[] = {0, 4, 8, 16, 32};
constexpr std::uint16_t kPortSpeedDevices[] = {0x2071, 0x2271, 0x2261, 0x2081,
                                               0x2089, 0x2281, 0x2289};

constexpr DriverSettings kDriverSettings[] = {
    {"lpfc",
     "lpfc_link_speed",
     kLpfcSpeeds,
     {},
     "lpfc_topology",
     kLpfcTopologies,
     true,
     true,
     "lpfc refuses a speed the adapter cannot run, and loop mode at 16 Gbit"},
    {"qla2xxx",
     "port_speed",
     kPortSpeedSpeeds,
     kPortSpeedDevices,
     nullptr,
     {},
     false,
     false,
     "qla2xxx refuses the rate the adapter is already set to, and any rate while it is down"},
};

std::optional<unsigned> SpeedRate(std::string_view stored) {
  for (const SpeedKeyword& k : kSpeedKeywords) {
    if (k.stored == stored) return k.gbit;
  }
  return std::nullopt;
}

// "auto, 4gigabit or 8gigabit": the keywords of the rates given, as -s takes them.
std::string SpeedKeywords(const std::vector<unsigned>& rates) {
  std::string text;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    for (const SpeedKeyword& k : kSpeedKeywords) {
      if (k.gbit != rates[i]) continue;
      if (i > 0) text += i + 1 == rates.size() ? " or " : ", ";
      text += k.typed;
    }
  }
  return text;
}

// The rates of the fc_host's supported_speeds ("4 Gbit, 8 Gbit, 16 Gbit"), in Gbit/s; nothing
// when the host does not publish them, and a failure when they cannot be read.
StatusOr<std::optional<std::vector<unsigned>>> SupportedRates(SysfsReader& reader,
                                                              const std::string& folder) {
  const Reading text = reader.ReadText(folder, "supported_speeds");
  if (!text.ok()) return text.status();
  if (!*text || **text == "unknown") return std::optional<std::vector<unsigned>>();
  return SpeedsGbit(**text);
}

// What a name shows of a reading: the text, or fallback when there is none or it cannot be read.
std::string TextOr(Reading reading, std::string fallback) {
  return reading.ok() && *reading ? std::move(**reading) : std::move(fallback);
}

// A value read from the adapter as a plan shows it, in quotes.
std::string Quoted(std::string_view read) { return '"' + EscapedText(read) + '"'; }

}  // namespace

// One driver attribute to change.
struct SettingsDriver::Change {
  const char* attribute;
  std::string value;
  const DriverSettings* row;
  std::string now;       // what the attribute reads before the run
  std::string previous;  // the configured value before the run, when the driver reads it back
};

// The changes to make, in order, in the host's driver folder.
struct SettingsDriver::Changes {
  std::string folder;
  std::vector<Change> changes;
};

namespace {

// A setting the host's driver does not take, or not this way: said with the host's name.
Status Refusal(const HostPlace& host, const std::string& why) {
  return Status::Error(kUnsupported, host.name + ": " + why);
}

// Why an NPIV virtual port takes no settings, naming its physical port when it is known.
std::string VirtualPortRefusal(SysfsReader& reader, const HostPlace& host) {
  std::string why = "an NPIV virtual port takes no settings of its own";
  if (auto physical = PhysicalPortOf(host.fc_folder)) {
    std::string name = "host" + std::to_string(physical->number);
    if (auto wwn = ParseHex(TextOr(reader.ReadText(physical->fc_folder, "port_name"), "")))
      name = WwnText(WwnBytesOf(*wwn)) + " (" + name + ")";
    why += ": change its physical port, " + name + ", whose link it shares";
  }
  return why;
}

// A driver that sets a speed only on some of its adapters: refused unless the host's is one.
Status AdapterSetsSpeed(SysfsReader& reader, const std::string& root, const HostPlace& host,
                        const DriverSettings& row) {
  if (row.speed_devices.empty()) return Status::Ok();
  const auto pci = PciFunctionOf(root, host.fc_folder);
  const Reading read = pci ? reader.ReadText(*pci, "device") : Reading(std::nullopt);
  if (!read.ok()) return read.status().Of(host.name);
  const std::optional<std::string>& device = *read;
  const auto id = device ? ParseHex(*device) : std::nullopt;
  if (!id || std::find(row.speed_devices.begin(), row.speed_devices.end(), *id) ==
                 row.speed_devices.end()) {
    return Refusal(host, std::string(row.driver) + " sets no speed on this adapter (PCI device " +
                             device.value_or("unknown") +
                             "), only on 27xx and 28xx adapters: set it in the adapter's "
                             "firmware settings, or on the switch port");
  }
  return Status::Ok();
}

// Automatic is always possible; a rate must be one the adapter runs, of those the driver takes.
Status AdapterRunsRate(SysfsReader& reader, const HostPlace& host,
                       const std::vector<unsigned>& takes, unsigned rate) {
  const auto supported = SupportedRates(reader, host.fc_folder);
  if (!supported.ok()) return supported.status().Of(host.name);
  const std::optional<std::vector<unsigned>>& runs = *supported;
  if (!runs || rate == 0 || std::find(runs->begin(), runs->end(), rate) != runs->end())
    return Status::Ok();
  std::vector<unsigned> can{0};
  for (unsigned r : *runs) {
    if (std::find(takes.begin(), takes.end(), r) != takes.end()) can.push_back(r);
  }
  return Refusal(host, "the adapter cannot run " + std::to_string(rate) + " Gbit: -s takes " +
                           SpeedKeywords(can) + " here");
}

}  // namespace

StatusOr<std::string> SettingsDriver::HostFolder(const HostPlace& host, bool hold) const {
  // A host that is gone is not found; one whose link leads anywhere but its own folder inside
  // the tree is refused.
  if (!reader_.Exists(root_ + "/class/scsi_host/" + host.name))
    return Status::Error(kNoDevice, host.name + ": the host is gone");
  const auto folder = ScsiHostFolder(reader_, root_, host.name, DeviceOf(host.fc_folder));
  if (!folder)
    return Refusal(host, "its driver attributes are not the adapter's own, inside the tree");
  if (IsVirtualPort(root_, *folder)) return Refusal(host, VirtualPortRefusal(reader_, host));
  // From the first read to the last write no other run changes this host.
  if (hold) {
    if (Status held = writer_.Hold(*folder); !held.ok()) return held.Of(host.name);
  }
  return *folder;
}

StatusOr<SettingsDriver::Change> SettingsDriver::PlanSpeed(const HostPlace& host,
                                                           const std::string& folder,
                                                           const std::string& driver,
                                                           const std::string& stored) const {
  const DriverSettings* row = nullptr;
  for (const DriverSettings& r : kDriverSettings) {
    if (!row && reader_.Exists(folder + "/" + r.speed_attribute)) row = &r;
  }
  const auto rate = SpeedRate(stored);
  if (!row || !rate) {
    return Refusal(host, driver +
                             " has no speed setting: the link runs at the speed it negotiates "
                             "with its peer; set it on the switch port, or for FCoE on the "
                             "Ethernet side");
  }
  std::vector<unsigned> takes(row->speeds.begin(), row->speeds.end());
  if (std::find(takes.begin(), takes.end(), *rate) == takes.end())
    return Refusal(host, std::string(row->driver) + " takes " + SpeedKeywords(takes));
  if (Status sets = AdapterSetsSpeed(reader_, root_, host, *row); !sets.ok()) return sets;
  if (Status runs = AdapterRunsRate(reader_, host, takes, *rate); !runs.ok()) return runs;
  return Change{row->speed_attribute, std::to_string(*rate), row, {}, {}};
}

StatusOr<SettingsDriver::Change> SettingsDriver::PlanTopology(const HostPlace& host,
                                                              const std::string& folder,
                                                              const std::string& driver,
                                                              const std::string& stored) const {
  const DriverSettings* row = nullptr;
  for (const DriverSettings& r : kDriverSettings) {
    if (!row && r.topology_attribute && reader_.Exists(folder + "/" + r.topology_attribute))
      row = &r;
  }
  if (!row) {
    return Refusal(host, driver +
                             " has no topology setting: the port takes the topology its peer "
                             "offers; set it on the switch port");
  }
  const TopologyValue* found = nullptr;
  for (const TopologyValue& t : row->topologies) {
    if (t.stored == stored) found = &t;
  }
  if (!found) return Refusal(host, std::string(row->driver) + " takes no topology " + stored);
  return Change{row->topology_attribute, found->written, row, {}, {}};
}

StatusOr<SettingsDriver::Changes> SettingsDriver::Ordered(const HostPlace& host,
                                                          const std::string& folder,
                                                          std::optional<Change> speed,
                                                          std::optional<Change> topology) const {
  Changes plan{folder, {}};
  for (std::optional<Change>* change : {&speed, &topology}) {
    if (!*change) continue;
    // What cannot be read now could not be restored after a refusal: nothing is written.
    const Reading now = reader_.ReadText(folder, (*change)->attribute);
    if (!now.ok()) return now.status().Of(host.name);
    (*change)->now = now->value_or("");
    if ((*change)->row->reads_back_configured) {
      // Without the configured value a refusal could not be undone: nothing is written.
      const auto number = ParseDecimal((*change)->now);
      if (!number)
        return Refusal(host, std::string((*change)->attribute) + " does not read as a number");
      // A value already set is not written: lpfc would reset the link for nothing.
      if (*number == *ParseDecimal((*change)->value)) continue;
      (*change)->previous = std::to_string(*number);
    } else if (topology) {
      // Only a change that can be undone may come before another.
      return Refusal(host, std::string((*change)->attribute) +
                               " cannot be set together with a topology: set them in two runs");
    }
    plan.changes.push_back(**change);
  }
  return plan;
}

StatusOr<SettingsDriver::Changes> SettingsDriver::Plan(const HostPlace& host,
                                                       const Dictionary& settings,
                                                       bool hold) const {
  const StatusOr<std::string> folder = HostFolder(host, hold);
  if (!folder.ok()) return folder.status();
  // A refusal names the driver and says where the setting is made instead.
  const std::string driver = TextOr(reader_.ReadText(*folder, "proc_name"), "its driver");
  std::optional<Change> speed;
  std::optional<Change> topology;
  for (const auto& [key, value] : settings) {
    const std::string* text = value.AsString();
    if (key == kSpeedSetting && text) {
      StatusOr<Change> change = PlanSpeed(host, *folder, driver, *text);
      if (!change.ok()) return change.status();
      speed = std::move(*change);
    } else if (key == kTopologySetting && text) {
      StatusOr<Change> change = PlanTopology(host, *folder, driver, *text);
      if (!change.ok()) return change.status();
      topology = std::move(*change);
    } else if (key == kHardLoopIdSetting) {
      return Refusal(host,
                     "no Linux driver takes a hard AL_PA while it runs: set it in the adapter's "
                     "firmware settings, then reset the link");
    } else {
      return Refusal(host, "\"" + key.str() + "\" is not a setting");
    }
  }
  return Ordered(host, *folder, std::move(speed), std::move(topology));
}

Status SettingsDriver::Apply(const HostPlace& host, const Dictionary& settings) const {
  StatusOr<Changes> planned = Plan(host, settings, true);
  if (!planned.ok()) return planned.status();
  const std::string& folder = planned->folder;
  const std::vector<Change>& plan = planned->changes;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const bool last = i + 1 == plan.size();
    const Status written = Write(folder, plan[i], plan[i].value, plan[i].row->takes_nolip && !last);
    if (written.ok()) continue;
    // A refused change leaves none of the others made; one that could not be undone is told.
    std::string left;
    for (std::size_t j = i; j-- > 0;) {
      if (const Status restored = Restore(host, folder, plan[j]); !restored.ok())
        left += "; " + restored.message();
    }
    // A host that went away while it was written is a port not found.
    const bool gone = written.code() != kUnsupported && !reader_.IsFolder(folder);
    std::string why = host.name + ": " + plan[i].attribute + ": " + written.message();
    if (written.code() == kBadArgument) why += " (" + std::string(plan[i].row->refuses) + ")";
    why += left;
    return Status::Error(gone ? kNoDevice : written.code(), why);
  }
  return Status::Ok();
}

StatusOr<std::string> SettingsDriver::Describe(const HostPlace& host,
                                               const Dictionary& settings) const {
  StatusOr<Changes> planned = Plan(host, settings, false);
  if (!planned.ok()) return planned.status();
  const std::vector<Change>& plan = planned->changes;
  std::string text;
  int resets = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const bool nolip = plan[i].row->takes_nolip && i + 1 < plan.size();
    resets += nolip ? 0 : 1;
    text += host.name + ": " + plan[i].attribute + " " + Quoted(plan[i].now) + " -> " +
            plan[i].value + ", writes \"" + (nolip ? "nolip " : "") + plan[i].value + "\\n\"\n";
  }
  if (plan.empty()) text += host.name + ": nothing to write, every value is set already\n";
  text += host.name + ": " + std::to_string(resets) +
          (resets == 1 ? " link reset\n" : " link resets\n");
  return text;
}

Status SettingsDriver::Write(const std::string& folder, const Change& change,
                             const std::string& value, bool nolip) const {
  return writer_.Write(folder, change.attribute, (nolip ? "nolip " : "") + value + "\n");
}

Status SettingsDriver::Restore(const HostPlace& host, const std::string& folder,
                               const Change& change) const {
  const Status written = Write(folder, change, change.previous, change.row->takes_nolip);
  if (written.ok()) return written;
  return Status::Error(written.code(), host.name + ": " + change.attribute + " is left at " +
                                           change.value + " (writing back " + change.previous +
                                           " failed: " + written.message() + ")");
}

}  // namespace halvane
