#include "check/san_picture.h"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/text.h"
#include "check/storage_host.h"

namespace halvane {
namespace {

using storage::StorageHost;
using storage::Unit;

// How a thing is drawn, from what the verdict says of it; a later shade outranks an earlier one.
enum class Shade : std::uint8_t { kFine, kAccepted, kDegraded, kDown };

void Raise(Shade& shade, Shade to) { shade = std::max(shade, to); }

// The attributes that draw a shade; what is fine is drawn in Graphviz's own black.
std::string_view Colour(Shade shade) {
  switch (shade) {
    case Shade::kFine:
      return "";
    case Shade::kAccepted:
      return ", color=grey55, fontcolor=grey55";
    case Shade::kDegraded:
      return ", color=darkorange, fontcolor=darkorange";
    case Shade::kDown:
      return ", color=red, fontcolor=red";
  }
  return "";
}

// The statement of an edge, drawn in the colour of shade.
std::string Edge(const std::string& from, const std::string& to, Shade shade) {
  const std::string_view colour = Colour(shade);
  std::string edge = from + " -> " + to;
  if (!colour.empty()) edge.append(" [").append(colour.substr(2)).append("]");
  return edge += ";";
}

// text as a quoted DOT string.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  AppendEscaped(quoted, text, EscapeFor::kDot);
  return quoted += '"';
}

// A label of the lines that are not empty, each escaped, one under the other.
std::string Label(const std::vector<std::string>& lines) {
  std::string label = "\"";
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    if (label.size() > 1) label += "\\n";
    AppendEscaped(label, line, EscapeFor::kDot);
  }
  return label += '"';
}

// "7.5 TiB", "512 GiB": bytes in the largest binary unit that leaves at least 1, a tenth shown
// (cut, not rounded) below 10.
std::string SizeText(std::uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::size_t unit = 0;
  while (unit + 1 < std::size(kUnits) && (bytes >> (10 * (unit + 1))) != 0) ++unit;
  const std::uint64_t whole = bytes >> (10 * unit);
  std::string text = std::to_string(whole);
  const std::uint64_t tenth = unit == 0 ? 0 : ((bytes >> (10 * unit - 10)) & 1023) * 10 / 1024;
  if (whole < 10 && tenth != 0) text += "." + std::to_string(tenth);
  return text + " " + kUnits[unit];
}

// What the verdict says of each thing drawn, by the names its findings give, which the verdict
// holds.
struct Verdicts {
  std::set<std::string> ports_down;
  std::set<std::pair<std::string, std::string>> remotes_down;  // our port's name, the remote's
  std::unordered_map<std::string_view, Shade> units[2];        // LUNs' and namespaces', by WWID
  std::map<std::string, Shade> maps;

  void Note(const Finding& finding, bool accepted) {
    const Shade shade = accepted                                     ? Shade::kAccepted
                        : finding.severity == CheckStatus::kCritical ? Shade::kDown
                                                                     : Shade::kDegraded;
    switch (finding.code) {
      case FindingCode::kPortNotOnline:
        ports_down.insert(finding.port_name);
        break;
      case FindingCode::kRemotePortNotOnline:
        remotes_down.emplace(finding.port_name, finding.remote_port_name);
        break;
      case FindingCode::kNvmeControllerNotLive:
      case FindingCode::kLunNotRunning:
        break;  // of one path, which is drawn as the judge sees it
      case FindingCode::kMapNoActivePath:
      case FindingCode::kMapDegraded:
        Raise(maps[finding.map], shade);
        break;
      default:
        Raise(units[finding.code >= FindingCode::kNamespaceNoUsablePath][finding.wwid], shade);
    }
  }
};

// Which remote port a path goes through, and whether I/O can take it.
using Reach = std::pair<std::size_t, bool>;

// What the LUNs or namespaces of one node share: their paths, and how each is drawn.
struct GroupKey {
  bool nvme = false;
  std::string subsystem;
  std::vector<Reach> reaches;
  Shade shade = Shade::kFine;
  bool mapped = false;
  Shade map_shade = Shade::kFine;
  auto operator<=>(const GroupKey&) const = default;
};

// A node's LUNs or namespaces: how many, their size, their WWIDs and their maps, first and last.
struct Group {
  std::uint64_t units = 0, bytes = 0, maps = 0;
  bool sized = true;
  std::string first, last, first_map, last_map, dm;

  void Add(const Unit& unit) {
    const auto sized_path = std::find_if(unit.paths.begin(), unit.paths.end(),
                                         [](const storage::Path& p) { return p.size.has_value(); });
    sized = sized && sized_path != unit.paths.end();
    if (sized) bytes = *sized_path->size > ~bytes ? ~std::uint64_t{0} : bytes + *sized_path->size;
    if (units++ == 0 || unit.wwid < first) first = unit.wwid;
    if (units == 1 || unit.wwid > last) last = unit.wwid;
    if (unit.map.empty()) return;
    if (maps++ == 0 || unit.map < first_map) first_map = unit.map, dm = unit.dm;
    if (maps == 1 || unit.map > last_map) last_map = unit.map;
  }
};

// The graph, built as node and edge statements that are written in the order of their text.
class Picture {
 public:
  Picture(const StorageHost& host, const Verdict& verdict);
  void Print(std::ostream& out) const;

 private:
  std::string PortId(std::size_t port) const;
  std::string RemoteId(std::size_t remote) const;
  std::string FabricOf(std::size_t port) const;
  void AddPorts();
  void AddUnits(const std::vector<Unit>& units, bool nvme);
  void AddGroup(const GroupKey& key, const Group& group);
  void AddLonelyMaps();

  const StorageHost& host_;
  const Verdict& verdict_;
  Verdicts verdicts_;
  std::unordered_set<std::string_view> held_maps_;         // names the host's units hold
  std::map<std::string, std::set<std::string>> clusters_;  // "" is the graph itself
  std::map<std::string, std::string> cluster_labels_;
  std::set<std::string> edges_;
};

Picture::Picture(const StorageHost& host, const Verdict& verdict) : host_(host), verdict_(verdict) {
  for (const Finding& finding : verdict.findings) verdicts_.Note(finding, false);
  for (const Finding& finding : verdict.accepted) verdicts_.Note(finding, true);
  if (!verdict.judged) return;
  AddPorts();
  AddUnits(host.luns(), false);
  AddUnits(host.namespaces(), true);
  AddLonelyMaps();
  const std::uint64_t without =
      verdict.counts[static_cast<std::size_t>(CountName::kLunsWithoutWwid)];
  if (without > 0) {
    clusters_[""].insert(Quoted("note LUNs without a WWID") + " [shape=note, label=" +
                         Label({std::to_string(without) + " LUN" + (without == 1 ? "" : "s") +
                                " without a WWID, not drawn"}) +
                         "];");
  }
}

std::string Picture::PortId(std::size_t port) const {
  const std::string& name = host_.ports()[port].name;
  return Quoted(name.empty() ? std::string("port #").append(std::to_string(port)) : "port " + name);
}

std::string Picture::RemoteId(std::size_t remote) const {
  const storage::RemotePort& r = host_.remotes()[remote];
  const std::string& port = host_.ports()[r.port].name;
  // (Appended, not "#" + text: GCC 12 misreads that concatenation as an overlapping copy.)
  std::string id = "remote " + port + " ";
  if (r.name.empty()) id.append("#").append(std::to_string(remote));
  return Quoted(id.append(r.name));
}

// The cluster of a port's fabric; "" for a port that logs into none.
std::string FabricCluster(const storage::Port& port) {
  return port.fabric.empty() ? "" : Quoted("cluster fabric " + port.fabric);
}

std::string Picture::FabricOf(std::size_t port) const { return FabricCluster(host_.ports()[port]); }

void Picture::AddPorts() {
  const auto& ports = host_.ports();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const storage::Port& port = ports[i];
    if (!port.in_scope) continue;
    const Shade shade = verdicts_.ports_down.count(port.name) ? Shade::kDown : Shade::kFine;
    const std::string host = port.scsi_host ? "host" + std::to_string(*port.scsi_host) + " " : "";
    clusters_[FabricOf(i)].insert(
        PortId(i) + " [label=" +
        Label({"port " + (port.name.empty() ? "without a name" : port.name),
               host + port.state.value_or(""), port.speed}) +
        std::string(Colour(shade)) + "];");
    if (!port.fabric.empty()) cluster_labels_[FabricOf(i)] = "fabric " + port.fabric;
  }
  const auto& remotes = host_.remotes();
  for (std::size_t i = 0; i < remotes.size(); ++i) {
    const storage::RemotePort& remote = remotes[i];
    const storage::Port& port = ports[remote.port];
    if (!port.in_scope) continue;
    const bool down = verdicts_.remotes_down.count({port.name, remote.name}) > 0;
    std::string roles;
    for (const std::string& role : remote.roles) roles += (roles.empty() ? "" : ", ") + role;
    clusters_[FabricOf(remote.port)].insert(
        RemoteId(i) + " [style=rounded, label=" +
        Label({"remote port " + (remote.name.empty() ? "without a name" : remote.name), roles,
               remote.state.value_or("")}) +
        std::string(Colour(down ? Shade::kDown : Shade::kFine)) + "];");
    const bool port_down = verdicts_.ports_down.count(port.name) > 0;
    edges_.insert(
        Edge(PortId(remote.port), RemoteId(i), down || port_down ? Shade::kDown : Shade::kFine));
  }
}

void Picture::AddUnits(const std::vector<Unit>& units, bool nvme) {
  std::map<GroupKey, Group> groups;
  const auto& shades = verdicts_.units[nvme];
  GroupKey key;  // one for every unit, copied only into a new group
  key.nvme = nvme;
  for (const Unit& unit : units) {
    key.subsystem = unit.subsystem;
    key.reaches.clear();
    key.shade = key.map_shade = Shade::kFine;
    for (const storage::Path& path : unit.paths) {
      if (host_.ports()[path.port].in_scope)
        key.reaches.emplace_back(path.remote, host_.PathUsable(path, nvme));
    }
    if (key.reaches.empty()) continue;
    std::sort(key.reaches.begin(), key.reaches.end());
    key.reaches.erase(std::unique(key.reaches.begin(), key.reaches.end()), key.reaches.end());
    if (const auto found = shades.find(unit.wwid); found != shades.end()) key.shade = found->second;
    key.mapped = !unit.map.empty();
    if (const auto found = verdicts_.maps.find(unit.map);
        key.mapped && found != verdicts_.maps.end())
      key.map_shade = found->second;
    if (key.mapped) held_maps_.insert(unit.map);
    auto group = groups.find(key);
    if (group == groups.end()) group = groups.emplace(key, Group()).first;
    group->second.Add(unit);
  }
  for (const auto& [key, group] : groups) AddGroup(key, group);
}

void Picture::AddGroup(const GroupKey& key, const Group& group) {
  const char* one = key.nvme ? " namespace" : " LUN";
  const char* many = key.nvme ? " namespaces" : " LUNs";
  const std::string id = Quoted((key.nvme ? "namespaces " : "LUNs ") + group.first);
  std::string count = std::to_string(group.units) + (group.units == 1 ? one : many);
  if (group.sized) count += ", " + SizeText(group.bytes);
  const std::string range = group.units == 1 ? group.first : group.first + " to " + group.last;
  const std::string cluster =
      key.subsystem.empty() ? "" : Quoted("cluster subsystem " + key.subsystem);
  if (!cluster.empty()) cluster_labels_[cluster] = "NVMe subsystem " + key.subsystem;
  clusters_[cluster].insert(id + " [shape=cylinder, label=" + Label({count, range}) +
                            std::string(Colour(key.shade)) + "];");
  for (const auto& [remote, usable] : key.reaches) {
    edges_.insert(Edge(RemoteId(remote), id, usable ? Shade::kFine : Shade::kDown));
  }
  if (!key.mapped) return;
  const std::string map =
      Quoted("maps of " + std::string(key.nvme ? "namespaces " : "LUNs ") + group.first);
  const std::vector<std::string> lines =
      group.maps == 1 ? std::vector<std::string>{"map " + group.first_map, group.dm}
                      : std::vector<std::string>{std::to_string(group.maps) + " maps",
                                                 group.first_map + " to " + group.last_map};
  clusters_[""].insert(map + " [shape=hexagon, label=" + Label(lines) +
                       std::string(Colour(key.map_shade)) + "];");
  edges_.insert(Edge(id, map, key.map_shade));
}

// A map the verdict names that holds none of the LUNs and namespaces drawn: a map whose paths
// are all gone.
void Picture::AddLonelyMaps() {
  for (const auto& [name, shade] : verdicts_.maps) {
    if (held_maps_.count(name)) continue;
    clusters_[""].insert(Quoted("map " + name) + " [shape=hexagon, label=" +
                         Label({"map " + name}) + std::string(Colour(shade)) + "];");
  }
}

void PrintLegend(std::ostream& out) {
  out << "  subgraph \"cluster legend\" {\n    label=\"legend\";\n";
  const std::pair<Shade, const char*> kRows[] = {
      {Shade::kFine, "online, or usable another way"},
      {Shade::kDown, "not online, or no usable path left"},
      {Shade::kDegraded, "lost its redundancy, or degraded"},
      {Shade::kAccepted, "a finding that is accepted"},
  };
  for (const auto& [shade, text] : kRows) {
    out << "    " << Quoted(std::string("legend ") + text) << " [label=" << Quoted(text)
        << Colour(shade) << "];\n";
  }
  out << "  }\n";
}

void Picture::Print(std::ostream& out) const {
  out << "digraph \"halvane\" {\n  graph [rankdir=LR, labelloc=t, label="
      << Quoted(std::string("HALVANE ") + std::string(StatusName(verdict_.status)) + " - " +
                verdict_.summary)
      << "];\n  node [shape=box];\n";
  PrintLegend(out);
  for (const auto& [cluster, lines] : clusters_) {
    if (cluster.empty()) continue;
    const auto label = cluster_labels_.find(cluster);
    out << "  subgraph " << cluster
        << " {\n    label=" << Quoted(label == cluster_labels_.end() ? "" : label->second) << ";\n";
    for (const std::string& line : lines) out << "    " << line << "\n";
    out << "  }\n";
  }
  if (const auto top = clusters_.find(""); top != clusters_.end()) {
    for (const std::string& line : top->second) out << "  " << line << "\n";
  }
  for (const std::string& edge : edges_) out << "  " << edge << "\n";
  out << "}\n";
}

}  // namespace

void PrintSanPicture(DeviceRegistry& registry, const CheckScope& scope, std::ostream& out) {
  storage::StorageHost host(registry, scope);
  // The picture draws every finding, in no order of theirs.
  const Verdict verdict = storage::JudgedWalk(host, scope, false);
  Picture(host, verdict).Print(out);
}

void PrintEmptySanPicture(DeviceRegistry& registry, std::string why, std::ostream& out) {
  const CheckScope nothing;
  const storage::StorageHost host(registry, nothing);
  Picture(host, UnknownVerdict(std::move(why))).Print(out);
}

}  // namespace halvane
