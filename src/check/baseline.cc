#include "check/baseline.h"

#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "compare/diff_report.h"
#include "inventory/port_info.h"
#include "registry/snapshot.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

// How a unit is reached on one side: its paths, and of the usable ones, through which ports and
// on which fabrics.
struct Reach {
  std::uint32_t paths = 0, usable = 0;
  std::set<std::string_view> ports, fabrics;
  bool through_scope = false;  // a path of it goes through the port in scope
};

std::unordered_map<std::string_view, Reach> ReachOf(const HostModel& m,
                                                    const std::string& port_name) {
  std::unordered_map<std::string_view, std::string_view> fabric_of;
  for (const ModelPort& port : m.ports) {
    const std::string_view fabric = m.Text(port.fields[3]);
    if (fabric != "00:00:00:00:00:00:00:00") fabric_of[m.Text(port.name)] = fabric;
  }
  std::unordered_map<std::string_view, Reach> reach;
  for (const ModelPath& path : m.paths) {
    Reach& r = reach[m.Text(path.unit)];
    ++r.paths;
    r.through_scope |= port_name.empty() || m.Text(path.port) == port_name;
    if (!path.usable) continue;
    ++r.usable;
    r.ports.insert(m.Text(path.port));
    const auto fabric = fabric_of.find(m.Text(path.port));
    if (fabric != fabric_of.end() && !fabric->second.empty()) r.fabrics.insert(fabric->second);
  }
  return reach;
}

std::string Counted(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string Described(const Reach& r) {
  return Counted(r.usable, "usable path", "usable paths") + " through " +
         Counted(r.ports.size(), "port", "ports") + " on " +
         Counted(r.fabrics.size(), "fabric", "fabrics");
}

class BaselineJudge {
 public:
  BaselineJudge(const HostModel& before, const HostModel& now, const CheckScope& scope,
                const std::string& port_name, Verdict* verdict)
      : before_(before), now_(now), port_name_(port_name), verdict_(verdict) {
    for (const std::string& wwid : scope.accepted) {
      if (auto key = WwidKey(wwid)) accepted_.insert(*key);
    }
  }

  void Run() {
    JudgeUnits();
    JudgePorts();
    JudgeMaps();
  }

 private:
  void Add(Finding finding) {
    const bool accepted =
        RuleOf(finding.code).acceptable && accepted_.count(WwidKey(finding.wwid).value_or(""));
    (accepted ? verdict_->accepted : verdict_->findings).push_back(std::move(finding));
  }

  void JudgeUnits() {
    const auto was = ReachOf(before_, port_name_), is = ReachOf(now_, "");
    for (const ModelUnit& unit : before_.units) {
      const std::string_view key = before_.Text(unit.key);
      const Reach& then = was.at(key);
      if (!then.through_scope || then.usable == 0) continue;
      const auto found = is.find(key);
      const bool gone = found == is.end();
      const Reach now = gone ? Reach() : found->second;
      const bool fewer = now.usable < then.usable || now.ports.size() < then.ports.size() ||
                         now.fabrics.size() < then.fabrics.size();
      if (!gone && !fewer) continue;
      Finding finding(gone        ? FindingCode::kLunMissing
                      : unit.nvme ? FindingCode::kNamespacePathsLost
                                  : FindingCode::kLunPathsLost);
      finding.wwid = key;
      finding.detail = gone ? "the baseline had " + Described(then)
                            : Described(then) + " then, " + Described(now) + " now";
      Add(std::move(finding));
    }
  }

  void JudgePorts() {
    std::unordered_set<std::string_view> ports, remotes;
    for (const ModelPort& port : now_.ports) ports.insert(now_.Text(port.name));
    std::unordered_set<std::string> pairs;
    for (const ModelRemotePort& r : now_.remotes)
      pairs.insert(std::string(now_.Text(r.port)).append(" ").append(now_.Text(r.name)));
    for (const ModelPort& port : before_.ports) {
      const std::string_view name = before_.Text(port.name);
      if (ports.count(name) || (!port_name_.empty() && name != port_name_)) continue;
      Finding finding(FindingCode::kPortMissing);
      finding.port_name = name;
      Add(std::move(finding));
    }
    for (const ModelRemotePort& r : before_.remotes) {
      const std::string_view port = before_.Text(r.port);
      // A port that is gone says so once, not once for each remote port it reached.
      if (!ports.count(port) || (!port_name_.empty() && port != port_name_)) continue;
      if (pairs.count(std::string(port).append(" ").append(before_.Text(r.name)))) continue;
      Finding finding(FindingCode::kRemotePortMissing);
      finding.port_name = port;
      finding.remote_port_name = before_.Text(r.name);
      Add(std::move(finding));
    }
  }

  void JudgeMaps() {
    std::unordered_set<std::string_view> maps;
    for (const ModelMap& map : now_.maps) maps.insert(now_.Text(map.key));
    for (const ModelMap& map : before_.maps) {
      const std::string_view key = before_.Text(map.key);
      if (key.empty() || maps.count(key) || !ThroughScope(map)) continue;
      Finding finding(FindingCode::kMapMissing);
      finding.map = before_.Text(map.fields[0]);
      if (finding.map.empty()) finding.map = key;
      finding.wwid = MultipathMapWwid(key).value_or("");
      Add(std::move(finding));
    }
  }

  bool ThroughScope(const ModelMap& map) const {
    if (port_name_.empty()) return true;
    for (std::uint32_t path : map.paths) {
      if (before_.Text(path).substr(0, port_name_.size()) == port_name_) return true;
    }
    return false;
  }

  const HostModel& before_;
  const HostModel& now_;
  const std::string& port_name_;
  Verdict* verdict_;
  std::set<std::string> accepted_;
};

}  // namespace

void JudgeModels(const HostModel& before, const HostModel& now, const CheckScope& scope,
                 const std::string& port_name, Verdict* verdict) {
  BaselineJudge(before, now, scope, port_name, verdict).Run();
  verdict->against_baseline = true;
  Conclude(verdict);
}

void JudgeAgainstBaseline(DeviceRegistry& registry, const std::string& baseline,
                          const CheckScope& scope, Verdict* verdict) {
  if (!verdict->judged) return;
  HostModel before;
  DiffBaseline named;
  {
    StatusOr<std::unique_ptr<DeviceRegistry>> capture =
        LoadSnapshotFile(baseline, RegistryUse::kRead);
    if (!capture.ok()) {
      *verdict = UnknownVerdict("the baseline cannot be read: " + capture.status().message());
      return;
    }
    before = BuildHostModel(**capture);
    named = BaselineOf(baseline, **capture);
  }
  std::string port_name;
  if (scope.port) {
    const StatusOr<Dictionary> record = BuildPortInfo(registry, scope.port);
    if (record.ok()) port_name = PortNameText(*record);
  }
  JudgeModels(before, BuildHostModel(registry), scope, port_name, verdict);
  verdict->summary += AgainstText(named);
}

}  // namespace halvane
