#include "listing/metrics.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "inventory/port_info.h"
#include "listing/inventory_values.h"
#include "listing/json_writer.h"
#include "listing/map_walk.h"
#include "listing/target_walk.h"
#include "registry/value_text.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

// The families, in the order they are printed. Every one is a gauge: each value is what the host
// has at the time of the run.
enum Family {
  kPortInfo,
  kPortOnline,
  kPortSpeed,
  kPortRemotePorts,
  kPortLuns,
  kPortNamespaces,
  kRemotePortOnline,
  kLunRunning,
  kNvmeControllerLive,
  kNamespaceAccessible,
  kMapPaths,
  kMapActivePaths,
  kReadErrors,
  kFamilyCount
};

struct FamilyText {
  const char* name;
  const char* help;
};
constexpr FamilyText kFamilies[kFamilyCount] = {
    {"halvane_port_info",
     "A Fibre Channel port of the host, its identity in the labels; always 1."},
    {"halvane_port_online", "Whether the port's link is online: 1 online, 0 in any other state."},
    {"halvane_port_speed_bytes_per_second",
     "The port's nominal link speed in bytes per second: its rate in Gbit/s times 125000000."},
    {"halvane_port_remote_ports", "How many remote ports the port reaches (SCSI or NVMe targets)."},
    {"halvane_port_luns", "How many SCSI logical units the port reaches."},
    {"halvane_port_nvme_namespaces",
     "How many NVMe namespaces the port reaches, counted once per controller."},
    {"halvane_remote_port_online",
     "Whether a remote port the port reaches is online: 1 online, 0 in any other state."},
    {"halvane_lun_running",
     "Whether a logical unit's SCSI device is running: 1 running, 0 in any other state."},
    {"halvane_nvme_controller_live",
     "Whether an NVMe controller reached through the port is live: 1 live, 0 in any other state."},
    {"halvane_nvme_namespace_accessible",
     "Whether a namespace can be used through its controller: 1 when the controller is live and "
     "the namespace's ANA state, if it has one, is optimized or non-optimized; 0 otherwise."},
    {"halvane_multipath_paths", "How many paths a device-mapper multipath map has."},
    {"halvane_multipath_active_paths",
     "How many of a multipath map's paths are active: their SCSI device is running, or their NVMe "
     "controller is live."},
    {"halvane_read_errors",
     "How many reads of the host failed in this run: what the other series leave out is not known "
     "to be absent."},
};

using Labels = std::vector<std::pair<const char*, std::optional<std::string>>>;

// The text of a registry value, as the document shows it.
std::optional<std::string> LabelText(const std::optional<PropertyValue>& value) {
  const std::optional<std::string_view> text = TextOf(value);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// An integer in range, as the document has it.
std::optional<std::string> Integer(const std::optional<PropertyValue>& value, IntegerRange range) {
  const std::optional<Number> number = IntegerIn(value, range);
  if (!number) return std::nullopt;
  return std::visit([](auto v) { return std::to_string(v); }, number->raw());
}

// Samples, kept by family until the run has seen them all, since a family's samples must come
// together and a port contributes to most families.
class Samples {
 public:
  void Add(Family family, const Labels& labels, std::uint64_t value) {
    std::string& line = lines_[family].emplace_back(kFamilies[family].name);
    bool first = true;
    for (const auto& [name, text] : labels) {
      if (!text) continue;
      line += first ? '{' : ',';
      first = false;
      line += name;
      line += "=\"";
      AppendEscaped(line, *text, EscapeFor::kLabel);
      line += '"';
    }
    if (!first) line += '}';
    line += ' ';
    line += std::to_string(value);
    line += '\n';
  }
  // How many samples each family has so far: where a scope's samples start.
  using Mark = std::array<std::size_t, kFamilyCount>;
  Mark Marked() const {
    Mark mark;
    for (int family = 0; family < kFamilyCount; ++family) mark[family] = lines_[family].size();
    return mark;
  }
  // Leaves out each sample since mark whose series (its name and labels) an earlier one since
  // mark has: a collector refuses a file that gives a series twice, which entries that their
  // labels cannot tell apart would (two paths of one namespace id, remote ports or LUNs without
  // a name or a WWID). The first is kept. Only a scope's samples are compared: every series of a
  // port names the port.
  void DropRepeats(const Mark& mark) {
    for (int family = 0; family < kFamilyCount; ++family) {
      std::vector<std::string>& lines = lines_[family];
      const std::size_t from = mark[family];
      // The lines since mark in the order of their series' hash, then their series, then their
      // place: a series' lines come together, its first one first.
      std::vector<std::pair<std::size_t, std::size_t>> order;  // series hash, line
      for (std::size_t i = from; i < lines.size(); ++i)
        order.emplace_back(std::hash<std::string_view>{}(Series(lines[i])), i);
      std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        const std::string_view series_a = Series(lines[a.second]);
        const std::string_view series_b = Series(lines[b.second]);
        return series_a != series_b ? series_a < series_b : a.second < b.second;
      });
      std::vector<bool> repeated(lines.size() - from, false);
      for (std::size_t k = 1; k < order.size(); ++k) {
        repeated[order[k].second - from] =
            order[k].first == order[k - 1].first &&
            Series(lines[order[k].second]) == Series(lines[order[k - 1].second]);
      }
      std::size_t kept = from;
      for (std::size_t i = from; i < lines.size(); ++i) {
        if (repeated[i - from]) continue;
        if (kept != i) lines[kept] = std::move(lines[i]);
        ++kept;
      }
      lines.resize(kept);
    }
  }
  void Print(std::ostream& out) const {
    for (int family = 0; family < kFamilyCount; ++family) {
      if (lines_[family].empty()) continue;
      out << "# HELP " << kFamilies[family].name << ' ' << kFamilies[family].help << "\n# TYPE "
          << kFamilies[family].name << " gauge\n";
      for (const std::string& line : lines_[family]) out << line;
    }
  }

 private:
  // A sample's series: its line up to the space before its value.
  static std::string_view Series(std::string_view line) { return line.substr(0, line.rfind(' ')); }

  std::array<std::vector<std::string>, kFamilyCount> lines_;
};

// A remote port, once per port whatever reaches it: a SCSI target, NVMe controllers, or both.
void AddRemotePort(Samples& samples, const std::string& port_name, const TargetView& remote,
                   std::set<std::string>* seen) {
  const std::optional<std::string> name = KnownWWN(remote.Port(kRemotePortNameKey));
  // A remote port without a name is counted on its own (its key cannot be a name: '#' first).
  std::string key = name ? *name : std::to_string(seen->size());
  if (!name) key.insert(key.begin(), '#');
  if (!seen->insert(std::move(key)).second) return;
  const std::optional<std::string> state = PortState(remote.Port(kRemotePortStateKey));
  if (!state) return;
  std::string roles;
  for (const std::string& role : PortRoles(remote.Port(kRemotePortRolesKey)))
    roles += (roles.empty() ? "" : ",") + role;
  samples.Add(kRemotePortOnline,
              {{"port_name", port_name},
               {"remote_port_name", name},
               {"port_id", FibreChannelAddress(remote.Port(kRemotePortIdKey))},
               {"roles", roles.empty() ? std::nullopt : std::optional<std::string>(roles)}},
              *state == "online");
}

void AddTargets(Samples& samples, DeviceRegistry& registry, const RegistryEntry& port,
                const std::string& port_name) {
  std::set<std::string> remote_ports;
  std::uint64_t luns = 0, namespaces = 0;
  ForEachTarget(
      registry, port, [] {},
      [&](const TargetView& target) {
        AddRemotePort(samples, port_name, target, &remote_ports);
        ForEachLun(registry, target.target, [&](const LunView& unit) {
          ++luns;
          const std::optional<std::string> state = UnitState(unit.Own(kScsiDeviceStateKey));
          if (!state) return;
          samples.Add(kLunRunning,
                      {{"port_name", port_name},
                       {"scsi_address", LabelText(unit.Own(kScsiAddressKey))},
                       {"wwid", LabelText(unit.Own(kWorldWideIdKey))},
                       {"block_device", LabelText(unit.Own(kBlockDeviceKey))},
                       {"map", LabelText(unit.MapName())}},
                      *state == "running");
        });
      });
  ForEachNvmeController(registry, port, [&](const TargetView& controller) {
    AddRemotePort(samples, port_name, controller, &remote_ports);
    const std::optional<std::string> name = LabelText(controller.Own(kNvmeControllerKey));
    const std::optional<std::string> state =
        ControllerState(controller.Own(kNvmeControllerStateKey));
    if (state) {
      samples.Add(kNvmeControllerLive,
                  {{"port_name", port_name},
                   {"controller", name},
                   {"remote_port_name", KnownWWN(controller.Own(kRemotePortNameKey))},
                   {"subsystem_nqn", LabelText(controller.Own(kSubsystemNqnKey))}},
                  *state == "live");
    }
    ForEachLun(registry, controller.target, [&](const LunView& unit) {
      ++namespaces;
      const std::optional<PropertyValue> published = unit.Own(kAnaStateKey);
      const std::optional<std::string> ana = AnaState(published);
      const bool usable = !published || ana == "optimized" || ana == "non_optimized";
      samples.Add(kNamespaceAccessible,
                  {{"port_name", port_name},
                   {"controller", name},
                   {"nsid", Integer(unit.Own(kNamespaceIdKey), kNamespaceIdRange)},
                   {"wwid", LabelText(unit.Own(kWorldWideIdKey))},
                   {"block_device", LabelText(unit.Own(kBlockDeviceKey))}},
                  state == "live" && usable);
    });
  });
  samples.Add(kPortRemotePorts, {{"port_name", port_name}}, remote_ports.size());
  samples.Add(kPortLuns, {{"port_name", port_name}}, luns);
  samples.Add(kPortNamespaces, {{"port_name", port_name}}, namespaces);
}

// A port's metrics, from its record; its name.
std::string AddPort(Samples& samples, DeviceRegistry& registry, const RegistryEntry& port,
                    const Dictionary& record) {
  const auto member = [&](const char* key) { return MemberValue(record, key); };
  const std::optional<std::string> name = PortNameText(record);
  const Samples::Mark mark = samples.Marked();
  // fc_host is the node exporter's own name for the port ("host3"), so that its link counters
  // (node_fibrechannel_*) can be joined to the port's name and identity.
  const std::optional<std::string> scsi_host =
      Integer(member(kRecordScsiHostNumber), kUnsigned32Range);
  samples.Add(kPortInfo,
              {{"port_name", name},
               {"scsi_host", scsi_host},
               {"fc_host", scsi_host ? std::optional("host" + *scsi_host) : std::nullopt},
               {"driver", LabelText(member(kRecordDriverName))},
               {"model", LabelText(member(kRecordModel))},
               {"firmware_version", LabelText(member(kRecordFirmwareVersion))}},
              1);
  if (const auto state = PortState(member(kRecordPortStatus)))
    samples.Add(kPortOnline, {{"port_name", name}}, *state == "online");
  const std::optional<std::string> speed = LabelText(member(kRecordSpeed));
  if (const auto rate = speed ? SpeedGbit(*speed) : std::nullopt)
    samples.Add(kPortSpeed, {{"port_name", name}}, std::uint64_t{*rate} * 125000000);
  if (registry.ConformsTo(port, kScsiControllerClass) &&
      HasFibreChannelInterconnect(registry, port)) {
    AddTargets(samples, registry, port, *name);
  }
  samples.DropRepeats(mark);
  return *name;
}

// The multipath maps, each once; with only_port, those with a path through it.
void AddMaps(Samples& samples, DeviceRegistry& registry,
             const std::optional<std::string>& only_port) {
  const Samples::Mark mark = samples.Marked();
  ForEachMap(registry, only_port, [&](const MapView& map) {
    const Labels labels = {{"map", LabelText(map.Own(kMapNameKey))},
                           {"dm", LabelText(map.Own(kMapDeviceKey))},
                           {"wwid", map.Wwid()}};
    samples.Add(kMapPaths, labels, map.paths().size());
    samples.Add(kMapActivePaths, labels, map.ActivePaths());
  });
  samples.DropRepeats(mark);
}

}  // namespace

std::string MetricLabelValue(std::string_view text) {
  std::string escaped;
  AppendEscaped(escaped, text, EscapeFor::kLabel);
  return escaped;
}

void PrintMetrics(DeviceRegistry& registry, std::ostream& out) {
  Samples samples;
  // A collector takes no two series of one name and labels: a name stands for one port, the one
  // -c finds by it.
  if (const StatusOr<std::vector<NamedPort>> ports = DistinctPorts(registry); ports.ok()) {
    for (const NamedPort& port : *ports) AddPort(samples, registry, port.entry, port.record);
  }
  AddMaps(samples, registry, std::nullopt);
  samples.Add(kReadErrors, {}, registry.FailedReads().size());
  samples.Print(out);
}

void PrintPortMetrics(DeviceRegistry& registry, const RegistryEntry& port, std::ostream& out) {
  Samples samples;
  if (!port) return;
  const StatusOr<Dictionary> record = BuildPortInfo(registry, port);
  const std::optional<std::string> name =
      record.ok() ? std::optional(AddPort(samples, registry, port, *record)) : std::nullopt;
  // A port without a name has no path of its own to show a map by.
  AddMaps(samples, registry, name ? name : std::optional<std::string>(""));
  samples.Add(kReadErrors, {}, registry.FailedReads().size());
  samples.Print(out);
}

}  // namespace halvane
