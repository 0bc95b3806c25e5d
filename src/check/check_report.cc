#include "check/check_report.h"

#include <string>

#include "base/text.h"
#include "listing/json_writer.h"
#include "listing/metrics.h"

namespace halvane {
namespace {

constexpr char kCheckSchema[] = "halvane-check/1";

// A text as a plugin's output line shows it: escaped as every line is, and with its "|" written
// \x7C, since a monitoring system takes what follows a "|" on any line for performance data. The
// document gives the same line, so that a script printing it prints no line of its own either.
std::string PluginLine(std::string_view text) {
  std::string line;
  for (std::size_t bar; (bar = text.find('|')) != std::string_view::npos;) {
    AppendEscaped(line, text.substr(0, bar), EscapeFor::kLine);
    line += "\\x7C";
    text.remove_prefix(bar + 1);
  }
  AppendEscaped(line, text, EscapeFor::kLine);
  return line;
}

void PluginText(std::ostream& out, std::string_view text) { out << PluginLine(text); }

void PrintFindingLines(const std::vector<Finding>& findings, const char* label, std::ostream& out) {
  for (const Finding& finding : findings) {
    out << (label ? std::string_view(label) : StatusName(finding.severity)) << ' '
        << RuleOf(finding.code).code << ": ";
    PluginText(out, MessageOf(finding));
    out << '\n';
  }
}

void MemberNumber(JsonWriter& json, std::string_view key, std::optional<std::uint64_t> value) {
  if (!value) return;
  json.Key(key);
  json.Integer(Number::FromUInt64(*value));
}

void MemberNonEmpty(JsonWriter& json, std::string_view key, const std::string& text) {
  if (!text.empty()) MemberText(json, key, std::optional<std::string>(text));
}

void WriteFindings(JsonWriter& json, std::string_view key, const std::vector<Finding>& findings) {
  json.Key(key);
  json.Open('[');
  for (const Finding& f : findings) {
    json.Open('{');
    MemberNonEmpty(json, "severity", std::string(StatusName(f.severity)));
    MemberNonEmpty(json, "code", RuleOf(f.code).code);
    MemberNonEmpty(json, "message", PluginLine(MessageOf(f)));
    MemberNonEmpty(json, "port_name", f.port_name);
    MemberNumber(json, "scsi_host", f.scsi_host);
    MemberNonEmpty(json, "remote_port_name", f.remote_port_name);
    MemberNonEmpty(json, "scsi_address", f.scsi_address);
    MemberNonEmpty(json, "block_device", f.block_device);
    MemberNonEmpty(json, "wwid", f.wwid);
    MemberNonEmpty(json, "map", f.map);
    MemberNonEmpty(json, "dm", f.dm);
    MemberNonEmpty(json, "nvme_controller", f.nvme_controller);
    MemberNumber(json, "nsid", f.nsid);
    MemberNonEmpty(json, "fabric_name", f.fabric_name);
    MemberNonEmpty(json, "state", f.state);
    json.Close('}');
  }
  json.Close(']');
}

void Family(std::ostream& out, const char* name, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << " gauge\n";
}

}  // namespace

void PrintCheckText(const Verdict& verdict, std::ostream& out) {
  out << "HALVANE " << StatusName(verdict.status) << " - ";
  PluginText(out, verdict.summary);
  if (verdict.judged) {
    out << " |";
    for (std::size_t i = 0; i < kCountNames.size(); ++i)
      out << " '" << kCountNames[i] << "'=" << verdict.counts[i];
    out << " 'accepted'=" << verdict.accepted.size();
  }
  out << '\n';
  PrintFindingLines(verdict.findings, nullptr, out);
  PrintFindingLines(verdict.accepted, "ACCEPTED", out);
}

void PrintCheckDocument(const Verdict& verdict, std::ostream& out) {
  JsonWriter json(out);
  json.Open('{');
  json.Key("schema");
  json.String(kCheckSchema);
  json.Key("status");
  json.String(StatusName(verdict.status));
  json.Key("exit_status");
  json.Integer(Number::FromUInt64(static_cast<std::uint64_t>(verdict.status)));
  json.Key("summary");
  json.String(PluginLine(verdict.summary));
  if (verdict.judged) {
    json.Key("counts");
    json.Open('{');
    for (std::size_t i = 0; i < kCountNames.size(); ++i) {
      json.Key(kCountNames[i]);
      json.Integer(Number::FromUInt64(verdict.counts[i]));
    }
    json.Close('}');
  }
  WriteFindings(json, "findings", verdict.findings);
  WriteFindings(json, "accepted", verdict.accepted);
  json.Close('}');
  json.End();
}

void PrintCheckMetrics(const Verdict& verdict, std::ostream& out) {
  if (verdict.judged) {
    Family(out, "halvane_check_findings",
           "The findings of the verdict on the host's storage (halvane --check) by code and "
           "severity; accepted ones are not counted.");
    for (const FindingRule& rule : kFindingRules) {
      // A verdict without a baseline has no baseline findings to count, not zero of them.
      if (IsBaselineFinding(static_cast<FindingCode>(&rule - kFindingRules.data())) &&
          !verdict.against_baseline)
        continue;
      for (const CheckStatus severity : {CheckStatus::kWarning, CheckStatus::kCritical}) {
        // A row has its own severity, and the rows that may be raised the other one too.
        if (severity != rule.severity && !rule.raised_when_lost) continue;
        std::size_t count = 0;
        for (const Finding& finding : verdict.findings)
          count += RuleOf(finding.code).code == rule.code && finding.severity == severity;
        out << "halvane_check_findings{code=\"" << MetricLabelValue(rule.code) << "\",severity=\""
            << AsciiLower(StatusName(severity)) << "\"} " << count << '\n';
      }
    }
    Family(out, "halvane_check_accepted_findings",
           "The findings an administrator accepted (halvane --check --accept), not counted in "
           "the status.");
    out << "halvane_check_accepted_findings " << verdict.accepted.size() << '\n';
  }
  Family(out, "halvane_check_status",
         "The verdict on the host's storage (halvane --check): 0 OK, 1 WARNING, 2 CRITICAL, "
         "3 UNKNOWN.");
  out << "halvane_check_status " << static_cast<int>(verdict.status) << '\n';
}

}  // namespace halvane
