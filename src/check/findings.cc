#include "check/findings.h"

#include <algorithm>
#include <tuple>

namespace halvane {
namespace {

constexpr CheckStatus kWarning = CheckStatus::kWarning;
constexpr CheckStatus kCritical = CheckStatus::kCritical;

// How many of a thing: "1 port", "2 ports".
std::string Counted(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// a before b, numbers in them compared as numbers: "2:0:0:1" comes before "10:0:0:1".
bool NaturalLess(std::string_view a, std::string_view b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  // What both begin with compares equal: the comparison starts at the run of digits, or the
  // character, where they first differ (names of one host share long beginnings).
  std::size_t i = static_cast<std::size_t>(
      std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
      a.begin());
  while (i > 0 && digit(a[i - 1])) --i;
  std::size_t j = i;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Without their leading zeros, the longer run is the larger number.
      std::string_view na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      na.remove_prefix(std::min(na.find_first_not_of('0'), na.size()));
      nb.remove_prefix(std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The objects of a finding in the order findings of one code are sorted by. World wide names,
// WWIDs and fabric names are hexadecimal digits, all of one width and case as the kernel writes
// them: compared byte by byte they keep their numeric order ("...:02" before "...:0A"), which
// comparing their decimal digit runs as numbers would not. Map names, controllers and SCSI
// addresses number their objects in decimal ("mpath2" before "mpath10").
bool ObjectsLess(const Finding& a, const Finding& b) {
  const std::string_view names_a[] = {a.port_name,       a.remote_port_name, a.wwid,       a.map,
                                      a.nvme_controller, a.scsi_address,     a.fabric_name};
  const std::string_view names_b[] = {b.port_name,       b.remote_port_name, b.wwid,       b.map,
                                      b.nvme_controller, b.scsi_address,     b.fabric_name};
  constexpr bool kHexadecimal[] = {true, true, true, false, false, false, true};
  for (std::size_t i = 0; i < std::size(names_a); ++i) {
    if (names_a[i] == names_b[i]) continue;
    return kHexadecimal[i] ? names_a[i] < names_b[i] : NaturalLess(names_a[i], names_b[i]);
  }
  return a.nsid < b.nsid;
}

// How much a status weighs in a verdict: a CRITICAL found on what was read stands whatever could
// not be read; what could not be read is UNKNOWN, above any warning, never OK.
int Weight(CheckStatus status) {
  switch (status) {
    case CheckStatus::kCritical:
      return 3;
    case CheckStatus::kUnknown:
      return 2;
    case CheckStatus::kWarning:
      return 1;
    case CheckStatus::kOk:
      break;
  }
  return 0;
}

bool FindingLess(const Finding& a, const Finding& b) {
  if (a.severity != b.severity) return Weight(a.severity) > Weight(b.severity);
  if (a.code != b.code) return a.code < b.code;
  return ObjectsLess(a, b);
}

// What names a port in a message: its WWN and, where the registry says, its SCSI host.
std::string PortText(const Finding& f) {
  return f.scsi_host ? f.port_name + " (host" + std::to_string(*f.scsi_host) + ")" : f.port_name;
}

std::string WithParenthesis(const std::string& name, const std::string& aside) {
  return aside.empty() ? name : name + " (" + aside + ")";
}

// The text a {name} of a rule's message stands for.
std::string Fill(std::string_view name, const Finding& f) {
  if (name == "port") return PortText(f);
  if (name == "remote") return f.remote_port_name;
  if (name == "path") return WithParenthesis(f.scsi_address, f.block_device);
  if (name == "lun") return f.wwid.empty() ? "(no WWID)" : WithParenthesis(f.wwid, f.map);
  if (name == "map") return WithParenthesis(f.map, f.dm);
  if (name == "controller") return f.nvme_controller;
  if (name == "namespace")
    return f.nsid ? f.wwid + " (nsid " + std::to_string(*f.nsid) + ")" : f.wwid;
  if (name == "fabric") return f.fabric_name;
  if (name == "state") return f.state;
  return f.detail;
}

// The summary of a verdict with findings: each code's count, most severe first, ports named.
std::string FindingsSummary(const std::vector<Finding>& findings) {
  std::string summary;
  for (std::size_t i = 0; i < findings.size();) {
    std::size_t end = i;
    std::string names;
    while (end < findings.size() && findings[end].code == findings[i].code &&
           findings[end].severity == findings[i].severity) {
      // The first line names the ports, by their SCSI host where the registry says, which is
      // short and tells them apart on one host.
      const Finding& f = findings[end];
      if (f.code == FindingCode::kPortNotOnline)
        names += (names.empty() ? "" : ", ") +
                 (f.scsi_host ? "host" + std::to_string(*f.scsi_host) : f.port_name);
      ++end;
    }
    const FindingRule& rule = RuleOf(findings[i].code);
    if (!summary.empty()) summary += ", ";
    summary += Counted(end - i, rule.one, rule.many);
    if (!names.empty()) summary += " (" + names + ")";
    i = end;
  }
  return summary;
}

std::string OkSummary(const Counts& counts) {
  const auto count = [&](CountName name) { return counts[static_cast<std::size_t>(name)]; };
  std::string summary = Counted(count(CountName::kPortsOnline), "port", "ports") + " online";
  summary += ", " + std::to_string(count(CountName::kLunsRedundant)) + " of " +
             Counted(count(CountName::kLuns), "LUN", "LUNs") + " and " +
             std::to_string(count(CountName::kNamespacesRedundant)) + " of " +
             Counted(count(CountName::kNamespaces), "namespace", "namespaces") + " redundant";
  if (const auto unnamed = count(CountName::kLunsWithoutWwid))
    summary += ", " + Counted(unnamed, "LUN", "LUNs") + " without a WWID not judged";
  return summary;
}

}  // namespace

// The order of the rows is the order of FindingCode.
const std::array<FindingRule, static_cast<std::size_t>(FindingCode::kCount)> kFindingRules = {{
    {"port_not_online", kWarning, true, false, "port not online", "ports not online",
     "port {port} is {state}: {detail}"},
    {"remote_port_not_online", kWarning, true, false, "remote port not online",
     "remote ports not online", "remote port {remote} of port {port} is {state}: {detail}"},
    {"nvme_controller_not_live", kWarning, false, false, "NVMe controller not live",
     "NVMe controllers not live",
     "NVMe controller {controller} through port {port} to remote port {remote} is {state}"},
    {"lun_no_usable_path", kCritical, false, false, "LUN without a usable path",
     "LUNs without a usable path", "LUN {lun} has no usable path: {detail}"},
    {"lun_not_running", kWarning, false, false, "LUN path not running", "LUN paths not running",
     "path {path} of LUN {lun} through port {port} and remote port {remote} is {state}"},
    {"lun_single_port", kWarning, false, true, "LUN on one port only", "LUNs on one port only",
     "LUN {lun} has usable paths through port {port} only: {detail}"},
    {"lun_single_fabric", kWarning, false, true, "LUN on one fabric only",
     "LUNs on one fabric only",
     "LUN {lun} has usable paths through fabric {fabric} only: {detail}"},
    {"lun_not_multipathed", kWarning, false, true, "LUN on several paths without a multipath map",
     "LUNs on several paths without a multipath map",
     "LUN {lun} is reached over {detail}; no multipath map holds them"},
    {"lun_no_optimized_path", kWarning, false, false, "LUN without an active/optimized path",
     "LUNs without an active/optimized path",
     "LUN {lun} has no active/optimized path among its usable ones: {detail}"},
    {"lun_size_mismatch", kWarning, false, false, "LUN whose paths disagree on its size",
     "LUNs whose paths disagree on their size",
     "the paths of LUN {lun} disagree on its size: {detail}"},
    {"map_no_active_path", kCritical, false, false, "multipath map without an active path",
     "multipath maps without an active path", "multipath map {map} has no active path: {detail}"},
    {"map_degraded", kWarning, false, false, "degraded multipath map", "degraded multipath maps",
     "multipath map {map} has {detail}"},
    {"namespace_no_usable_path", kCritical, false, false, "namespace without a usable path",
     "namespaces without a usable path", "NVMe namespace {namespace} has no usable path: {detail}"},
    {"namespace_single_port", kWarning, false, true, "namespace on one port only",
     "namespaces on one port only",
     "NVMe namespace {namespace} has usable paths through port {port} only: {detail}"},
    {"namespace_single_fabric", kWarning, false, true, "namespace on one fabric only",
     "namespaces on one fabric only",
     "NVMe namespace {namespace} has usable paths through fabric {fabric} only: {detail}"},
    {"namespace_not_multipathed", kWarning, false, true,
     "namespace on several controllers without multipath",
     "namespaces on several controllers without multipath",
     "NVMe namespace {namespace} is reached through {detail}; neither native NVMe multipath nor "
     "a multipath map joins them"},
    {"namespace_no_optimized_path", kWarning, false, false, "namespace without an optimized path",
     "namespaces without an optimized path",
     "NVMe namespace {namespace} has no optimized path among its usable ones: {detail}"},
    {"read_failed", CheckStatus::kUnknown, false, false, "read that failed", "reads that failed",
     "cannot read {detail}"},
    {"lun_missing", kCritical, false, true, "LUN of the baseline reached no way",
     "LUNs of the baseline reached no way",
     "LUN {lun} that the baseline reached is reached no way now: {detail}"},
    {"lun_paths_lost", kWarning, false, true, "LUN with fewer paths than the baseline",
     "LUNs with fewer paths than the baseline",
     "LUN {lun} has fewer usable paths than the baseline: {detail}"},
    {"port_missing", kWarning, false, false, "port of the baseline missing",
     "ports of the baseline missing", "port {port} of the baseline is gone"},
    {"remote_port_missing", kWarning, false, false, "remote port of the baseline missing",
     "remote ports of the baseline missing",
     "remote port {remote} that port {port} reached in the baseline is gone"},
    {"map_missing", kWarning, false, true, "multipath map of the baseline missing",
     "multipath maps of the baseline missing", "multipath map {map} of the baseline is gone"},
    {"namespace_paths_lost", kWarning, false, true, "namespace with fewer paths than the baseline",
     "namespaces with fewer paths than the baseline",
     "NVMe namespace {namespace} has fewer usable paths than the baseline: {detail}"},
}};

const std::array<const char*, static_cast<std::size_t>(CountName::kCount)> kCountNames = {
    "ports",
    "ports_online",
    "remote_ports",
    "remote_ports_online",
    "luns",
    "luns_redundant",
    "luns_without_wwid",
    "lun_paths",
    "lun_paths_running",
    "namespaces",
    "namespaces_redundant",
    "nvme_controllers",
    "nvme_controllers_live",
    "maps",
    "maps_degraded"};

std::string_view StatusName(CheckStatus status) {
  switch (status) {
    case CheckStatus::kOk:
      return "OK";
    case CheckStatus::kWarning:
      return "WARNING";
    case CheckStatus::kCritical:
      return "CRITICAL";
    case CheckStatus::kUnknown:
      break;
  }
  return "UNKNOWN";
}

const FindingRule& RuleOf(FindingCode code) {
  return kFindingRules[static_cast<std::size_t>(code)];
}

std::string MessageOf(const Finding& finding) {
  std::string message;
  const std::string_view text = RuleOf(finding.code).message;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t open = text.find('{', i);
    if (open == std::string_view::npos) {
      message += text.substr(i);
      break;
    }
    const std::size_t close = text.find('}', open);
    message += text.substr(i, open - i);
    message += Fill(text.substr(open + 1, close - open - 1), finding);
    i = close + 1;
  }
  return message;
}

Verdict UnknownVerdict(std::string reason) {
  Verdict verdict;
  verdict.summary = std::move(reason);
  return verdict;
}

namespace {

// The order the summary reads findings in: by severity and code, and the ports among them as
// FindingLess orders them.
bool SummaryLess(const Finding& a, const Finding& b) {
  if (a.severity != b.severity) return a.severity > b.severity;
  if (a.code != b.code) return a.code < b.code;
  return a.code == FindingCode::kPortNotOnline && ObjectsLess(a, b);
}

// Sorts findings as FindingLess orders them (or only as SummaryLess does), equal ones kept in
// their order. A finding is large: the sort moves pointers, and each finding is moved once.
void SortFindings(std::vector<Finding>& findings, bool ordered) {
  std::vector<Finding*> order;
  order.reserve(findings.size());
  for (Finding& finding : findings) order.push_back(&finding);
  std::stable_sort(order.begin(), order.end(), [ordered](const Finding* a, const Finding* b) {
    return ordered ? FindingLess(*a, *b) : SummaryLess(*a, *b);
  });
  bool moved = false;
  for (std::size_t i = 0; i < order.size() && !moved; ++i) moved = order[i] != &findings[i];
  if (!moved) return;
  std::vector<Finding> sorted;
  sorted.reserve(findings.size());
  for (Finding* finding : order) sorted.push_back(std::move(*finding));
  findings = std::move(sorted);
}

}  // namespace

void Conclude(Verdict* verdict, bool ordered) {
  SortFindings(verdict->findings, ordered);
  SortFindings(verdict->accepted, ordered);
  verdict->status = CheckStatus::kOk;
  for (const Finding& finding : verdict->findings) {
    if (Weight(finding.severity) > Weight(verdict->status)) verdict->status = finding.severity;
  }
  verdict->summary =
      verdict->findings.empty() ? OkSummary(verdict->counts) : FindingsSummary(verdict->findings);
  if (!verdict->accepted.empty())
    verdict->summary +=
        ", " + Counted(verdict->accepted.size(), "finding", "findings") + " accepted";
}

}  // namespace halvane
