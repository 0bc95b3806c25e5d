// What the verdict on a host's storage is made of: the findings, each of a code from one table
// that gives its severity and its message, and the verdict itself, with the counts a monitoring
// system graphs. A code is published once and never renamed: alert rules and scripts match it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// The Monitoring Plugins statuses, which are also the exit statuses of a check run.
enum class CheckStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
// "OK", "WARNING", "CRITICAL", "UNKNOWN".
std::string_view StatusName(CheckStatus status);

// Every finding, in the order of kFindingRules. A new finding is a new row there and a value here,
// added at the end of its kind.
enum class FindingCode : std::uint8_t {
  kPortNotOnline,
  kRemotePortNotOnline,
  kNvmeControllerNotLive,
  kLunNoUsablePath,
  kLunNotRunning,
  kLunSinglePort,
  kLunSingleFabric,
  kLunNotMultipathed,
  kLunNoOptimizedPath,
  kLunSizeMismatch,
  kMapNoActivePath,
  kMapDegraded,
  kNamespaceNoUsablePath,
  kNamespaceSinglePort,
  kNamespaceSingleFabric,
  kNamespaceNotMultipathed,
  kNamespaceNoOptimizedPath,
  kReadFailed,
  // Against a baseline (--baseline): what the host had then and has not now.
  kLunMissing,
  kLunPathsLost,
  kPortMissing,
  kRemotePortMissing,
  kMapMissing,
  kNamespacePathsLost,
  kCount
};

// Whether a code is one of a verdict against a baseline, which only such a verdict reports.
constexpr bool IsBaselineFinding(FindingCode code) {
  return code >= FindingCode::kLunMissing && code <= FindingCode::kNamespacePathsLost;
}

// One row of the table: the code's name, the severity it has (the rows that may be raised to
// CRITICAL say so), whether an administrator may accept it for a WWID, the phrases the first line
// counts it with, and the message, whose {names} the finding's objects fill in.
struct FindingRule {
  const char* code;
  CheckStatus severity;
  bool raised_when_lost;  // CRITICAL when something it carried has no usable path left
  bool acceptable;        // a property of how a LUN or namespace is reached, not a failure
  const char* one;
  const char* many;
  const char* message;
};
extern const std::array<FindingRule, static_cast<std::size_t>(FindingCode::kCount)> kFindingRules;

const FindingRule& RuleOf(FindingCode code);

// One finding and the objects it names; what it does not name is empty.
struct Finding {
  // A finding of code, with the severity its rule gives.
  explicit Finding(FindingCode code) : code(code), severity(RuleOf(code).severity) {}

  FindingCode code;
  CheckStatus severity;
  std::string port_name;  // our port, as the listing names it
  std::optional<std::uint64_t> scsi_host;
  std::string remote_port_name;
  std::string scsi_address;
  std::string block_device;
  std::string wwid;  // of a LUN: the kernel's; of a namespace: its unique id
  std::string map;
  std::string dm;
  std::string nvme_controller;
  std::optional<std::uint64_t> nsid;
  std::string fabric_name;
  std::string state;   // the state that is wrong, as the document writes it
  std::string detail;  // the rest of the message: what it carried, which paths
};

// The message of a finding: its rule's text with the objects filled in.
std::string MessageOf(const Finding& finding);

// The counts of a verdict, which the text's performance data, the document and the summary show.
enum class CountName : std::uint8_t {
  kPorts,
  kPortsOnline,
  kRemotePorts,
  kRemotePortsOnline,
  kLuns,
  kLunsRedundant,
  kLunsWithoutWwid,
  kLunPaths,
  kLunPathsRunning,
  kNamespaces,
  kNamespacesRedundant,
  kNvmeControllers,
  kNvmeControllersLive,
  kMaps,
  kMapsDegraded,
  kCount
};
extern const std::array<const char*, static_cast<std::size_t>(CountName::kCount)> kCountNames;
using Counts = std::array<std::uint64_t, static_cast<std::size_t>(CountName::kCount)>;

struct Verdict {
  CheckStatus status = CheckStatus::kUnknown;
  std::string summary;  // what the first line says after the status; an UNKNOWN's reason
  bool judged = false;  // counts hold what was judged (not for an UNKNOWN)
  Counts counts{};
  std::vector<Finding> findings;  // counted, most severe first
  std::vector<Finding> accepted;  // not counted, in the same order
  bool against_baseline = false;  // judged against a baseline too (--baseline)
};

// A verdict without a judgement: why there is none.
Verdict UnknownVerdict(std::string reason);

// Sorts the findings most severe first (CRITICAL, then UNKNOWN: what was read and found broken
// outranks what could not be read, which outranks a warning), then by code in table order, then by
// the objects' names (numbers in a name compared as numbers), sets the status and writes the
// summary. Without ordered, findings of one code other than ports stay in the order they were
// found: for a reader that does not list them, and need not pay for sorting a host's 100,000 of
// them by name.
void Conclude(Verdict* verdict, bool ordered = true);

}  // namespace halvane
