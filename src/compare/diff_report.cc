#include "compare/diff_report.h"

#include <array>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "base/text.h"
#include "listing/json_writer.h"

namespace halvane {
namespace {

constexpr char kDiffSchema[] = "halvane-diff/1";

// How a summary names one of each level, and more than one.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kNouns = {{
    {"port", "ports"},
    {"remote port", "remote ports"},
    {"NVMe controller", "NVMe controllers"},
    {"path", "paths"},
    {"LUN", "LUNs"},
    {"namespace", "namespaces"},
    {"map", "maps"},
}};

std::string Counted(std::size_t n, DiffLevel level) {
  const auto& [one, many] = kNouns[static_cast<std::size_t>(level)];
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string Plural(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// The entity a difference is about, as a line names it.
std::string Where(const Difference& d) {
  std::string where;
  const auto add = [&](std::string_view word, std::string_view name) {
    if (!where.empty()) where += ' ';
    where.append(word).append(" ");
    AppendEscaped(where, name, EscapeFor::kLine);
  };
  if (!d.port.empty()) add("port", d.port);
  if (!d.remote.empty()) add("remote", d.remote);
  if (!d.nqn.empty()) add("nvme", d.nqn);
  if (d.level == DiffLevel::kPath) add(d.nqn.empty() ? "lun" : "namespace", d.address);
  // What spans ports is named by its level and key: "lun naa.600a...", "map mpath-3600a...".
  if (d.port.empty()) add(LevelName(d.level), d.key);
  return where;
}

std::string Value(std::string_view text) {
  return text.empty() ? std::string("none") : EscapedText(text);
}

// What happened to it, as a line says it.
std::string What(const Difference& d) {
  const std::string field = d.field.empty() ? "" : d.field + " ";
  switch (d.kind) {
    case DiffKind::kAdded:
      return d.field == "path" ? "path new " + Value(d.after)
                               : "new" + (d.after.empty() ? "" : " (" + Value(d.after) + ")");
    case DiffKind::kRemoved:
      return d.field == "path"
                 ? "path removed " + Value(d.before)
                 : "removed" + (d.before.empty() ? "" : " (was " + Value(d.before) + ")");
    case DiffKind::kLost:
      if (d.field.empty())
        return "lost, gone" + (d.before.empty() ? "" : " (was " + Value(d.before) + ")");
      return "lost, " + field + Value(d.before) + " -> " + Value(d.after);
    case DiffKind::kChanged:
      return field + Value(d.before) + " -> " + Value(d.after);
    case DiffKind::kMoved:
      return Value(d.before) + " is now " + Value(d.after);
    case DiffKind::kRose:
      return field + "rose by " + std::to_string(d.increase) + " (" + d.before + " -> " + d.after +
             ")";
  }
  return "";
}

}  // namespace

std::string AgainstText(const DiffBaseline& baseline) {
  std::string text = " (against " + EscapedText(baseline.file);
  if (!baseline.host.empty() || !baseline.time.empty()) text += ", taken";
  if (!baseline.host.empty()) text += " on " + EscapedText(baseline.host);
  if (!baseline.time.empty()) text += " at " + EscapedText(baseline.time);
  return text + ")";
}

DiffBaseline BaselineOf(const std::string& file, const DeviceRegistry& capture) {
  DiffBaseline baseline{file, "", "", ""};
  if (const Dictionary* note = capture.Captured()) {
    for (auto [key, text] : {std::pair{"host", &baseline.host}, std::pair{"time", &baseline.time},
                             std::pair{"version", &baseline.version}}) {
      const PropertyValue* value = FindMember(*note, key);
      if (value && value->AsString()) *text = *value->AsString();
    }
  }
  return baseline;
}

std::string DiffSummary(const std::vector<Difference>& differences, const DiffBaseline& baseline) {
  std::vector<std::pair<std::string, std::size_t>> lost;  // per port, in order
  std::map<std::pair<DiffLevel, DiffKind>, std::size_t> counts;
  std::set<std::tuple<DiffLevel, std::string, std::string, std::string, std::string, std::string>>
      changed;
  std::size_t moved = 0, rose = 0;
  for (const Difference& d : differences) {
    if (d.kind == DiffKind::kLost) {
      if (lost.empty() || lost.back().first != d.port) lost.emplace_back(d.port, 0);
      ++lost.back().second;
    } else if (d.kind == DiffKind::kMoved) {
      ++moved;
    } else if (d.kind == DiffKind::kRose) {
      ++rose;
    } else if (d.kind == DiffKind::kChanged || d.field == "path") {
      changed.emplace(d.level, d.port, d.remote, d.nqn, d.address, d.key);
    } else {
      ++counts[{d.level, d.kind}];
    }
  }
  for (const auto& entity : changed) ++counts[{std::get<0>(entity), DiffKind::kChanged}];
  std::vector<std::string> items;
  for (const auto& [port, n] : lost)
    items.push_back(Counted(n, DiffLevel::kPath) + " lost on port " + EscapedText(port));
  for (const auto& [what, n] : counts)
    items.push_back(Counted(n, what.first) + " " + std::string(KindName(what.second)));
  if (moved) items.push_back(Plural(moved, "name moved", "names moved"));
  if (rose) items.push_back(Plural(rose, "counter rose", "counters rose"));
  std::string summary;
  for (const std::string& item : items) summary.append(summary.empty() ? "" : ", ").append(item);
  if (summary.empty()) summary = "nothing differs";
  return summary + AgainstText(baseline);
}

void PrintDiffText(const std::vector<Difference>& differences, const DiffBaseline& baseline,
                   std::ostream& out) {
  out << DiffSummary(differences, baseline) << "\n";
  for (const Difference& d : differences) out << Where(d) << ": " << What(d) << "\n";
}

void PrintDiffDocument(const std::vector<Difference>& differences, const DiffBaseline& baseline,
                       std::ostream& out) {
  JsonWriter json(out);
  json.Open('{');
  json.Key("schema");
  json.String(kDiffSchema);
  json.Key("differs");
  json.Literal(differences.empty() ? "false" : "true");
  json.Key("summary");
  json.String(DiffSummary(differences, baseline));
  json.Key("before");
  json.Open('{');
  json.Key("file");
  json.String(baseline.file);
  const auto text = [&](std::string_view key, const std::string& value) {
    if (value.empty()) return;
    json.Key(key);
    json.String(value);
  };
  text("host", baseline.host);
  text("time", baseline.time);
  text("version", baseline.version);
  json.Close('}');
  json.Key("differences");
  json.Open('[');
  for (const Difference& d : differences) {
    json.Open('{');
    text("level", std::string(LevelName(d.level)));
    text("kind", std::string(KindName(d.kind)));
    text("port_name", d.port);
    text("remote_port_name", d.remote);
    text("subsystem_nqn", d.nqn);
    text(d.nqn.empty() ? "lun" : "nsid", d.address);
    text(d.level == DiffLevel::kMap ? "uuid" : "wwid", d.key);
    text("field", d.field);
    text("before", d.before);
    text("after", d.after);
    if (d.kind == DiffKind::kRose) {
      json.Key("increase");
      json.Integer(Number::FromUInt64(d.increase));
    }
    json.Close('}');
  }
  json.Close(']');
  json.Close('}');
  json.End();
}

}  // namespace halvane
