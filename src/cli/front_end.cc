#include "cli/front_end.h"

#include <getopt.h>

#include <optional>
#include <string_view>
#include <vector>

#include "check/baseline.h"
#include "check/check_report.h"
#include "check/judge.h"
#include "cli/diff_run.h"
#include "cli/validation.h"
#include "config/port_request.h"
#include "config/refresh.h"
#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "listing/inventory_document.h"
#include "listing/metrics.h"
#include "registry/vocabulary.h"

namespace halvane {

namespace {

// The project version, from the build (CMakeLists.txt).
constexpr char kVersion[] = "v" HALVANE_VERSION;

// The codes of the options that have only a long form.
constexpr int kJsonOption = 0x100;
constexpr int kSnapshotOption = 0x101;
constexpr int kDryRunOption = 0x102;
constexpr int kMetricsOption = 0x103;
constexpr int kCheckOption = 0x104;
constexpr int kAcceptOption = 0x105;
constexpr int kDiffOption = 0x106;
constexpr int kBaselineOption = 0x107;

}  // namespace

const char kShortOptions[] = "c:a:s:t:lrhv?";

const LongOptionName kLongOptionNames[] = {
    {"controller", 'c', true},
    {"alpa", 'a', true},
    {"speed", 's', true},
    {"topology", 't', true},
    {"list", 'l', false},
    {"refresh", 'r', false},
    {"help", 'h', false},
    {"version", 'v', false},
    {"json", kJsonOption, false},
    {"snapshot", kSnapshotOption, false},
    {"dry-run", kDryRunOption, false},
    {"metrics", kMetricsOption, false},
    {"check", kCheckOption, false},
    {"accept", kAcceptOption, true},
    {"diff", kDiffOption, true},
    {"baseline", kBaselineOption, true},
};
const int kLongOptionCount = sizeof kLongOptionNames / sizeof kLongOptionNames[0];

namespace {

constexpr char kBadWwn[] = "Invalid world wide name. Must be in form of xx:xx:xx:xx:xx:xx:xx:xx";
constexpr char kBadAlpa[] = "Invalid ALPA value, must be an 8B10 Neutral Disparate number:";
constexpr char kBadSpeed[] =
    "Invalid Speed value, must be 1gigabit, 2gigabit, 4gigabit, 8gigabit, 16gigabit, 32gigabit, "
    "64gigabit, 128gigabit, or auto:";
constexpr char kBadTopology[] = "Invalid Topology value, must be nport, nlport, or auto:";
constexpr char kListExclusive[] = "The -l command is mutually exclusive.";
constexpr char kSettingsNeedPort[] = "Settings require a Port World Wide Name given with -c.";
constexpr char kFormatsExclusive[] = "The --json and --metrics options are mutually exclusive.";
constexpr char kCheckTakesNoSettings[] = "The --check option takes no settings and no --snapshot.";
constexpr char kAcceptNeedsCheck[] = "The --accept option is for --check.";
constexpr char kBaselineNeedsCheck[] = "The --baseline option is for --check.";
constexpr char kCaptureNeedsName[] = "The --diff and --baseline options name a capture file.";
constexpr char kDiffAlone[] =
    "The --diff option takes no other action (-c, -l, --check, --snapshot, settings) and no "
    "--metrics.";
constexpr char kBadAccept[] =
    "Invalid WWID, must be as the kernel (naa., eui., t10., uuid., nvme.) or multipath writes it:";

// The stored text of the keyword typed: the whole value, byte for byte, case included.
template <typename Keyword, std::size_t N>
std::optional<std::string_view> Lookup(const Keyword (&table)[N], std::string_view typed) {
  for (const Keyword& k : table) {
    if (k.typed == typed) return k.stored;
  }
  return std::nullopt;
}

std::vector<option> LongOptionTable() {
  std::vector<option> table;
  for (int i = 0; i < kLongOptionCount; ++i) {
    const LongOptionName& o = kLongOptionNames[i];
    table.push_back(
        option{o.name, o.takes_value ? required_argument : no_argument, nullptr, o.letter});
  }
  // "--s" abbreviated --speed before --snapshot existed; an exact name outranks the abbreviations,
  // so it keeps doing so.
  table.push_back(option{"s", required_argument, nullptr, 's'});
  table.push_back(option{nullptr, 0, nullptr, 0});
  return table;
}

// The options that change how the whole run goes, wherever they stand (--json, --metrics,
// --dry-run, --check and the WWIDs --accept gives it, the captures of --diff and --baseline, and
// whether an action --diff does not go with is asked for), found the way the option pass finds
// options (an option value that reads "--json" is not one), without
// any message: the pass itself reports faults.
void FindRunWideOptions(int argc, char* argv[], const std::vector<option>& long_options,
                        ParsedOptions* parsed) {
  optind = 0;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, kShortOptions, long_options.data(), nullptr)) != -1;) {
    if (c == kJsonOption) parsed->json = true;
    if (c == kMetricsOption) parsed->metrics = true;
    if (c == kDryRunOption) parsed->dry_run = true;
    if (c == kCheckOption) parsed->check = true;
    if (c == kAcceptOption && optarg) parsed->accepted.push_back(optarg);
    if (c == kDiffOption && optarg) parsed->diff_before = optarg;
    if (c == kBaselineOption && optarg) parsed->baseline = optarg;
    if (c == 'c' || c == 'l' || c == 'a' || c == 's' || c == 't' || c == kSnapshotOption)
      parsed->other_action = true;
  }
  // The parser has moved the words that are not options to the end.
  for (int i = optind; i < argc; ++i) parsed->ignored.emplace_back(argv[i]);
}

// A -c value that is a WWN as the kernel writes it, "0x" and up to 16 hexadecimal digits: the
// text that port names have for it.
std::optional<std::string> KernelFormWWN(std::string_view text) {
  const auto value = ParsePrefixedHex(text, 16);
  return value ? std::optional(WwnText(WwnBytesOf(*value))) : std::nullopt;
}

// Validates the value of -a, -s or -t (option) and records the setting; the end of the run when
// the value is refused.
std::optional<RunOutcome> RecordSetting(int option, const char* value, ParsedOptions* parsed,
                                        std::ostream& out) {
  if (option == 'a') {
    const auto alpa = ParseAlpaArgument(value);
    if (!alpa) return ExitWithUsage(out, kExitUsage, kBadAlpa, value);
    parsed->settings.insert_or_assign(kHardLoopIdSetting, PropertyValue::Int64(*alpa));
  } else if (option == 's') {
    const auto speed = Lookup(kSpeedKeywords, value);
    if (!speed) return ExitWithUsage(out, kExitUsage, kBadSpeed, value);
    parsed->settings.insert_or_assign(kSpeedSetting, PropertyValue::String(std::string(*speed)));
  } else {
    const auto topology = Lookup(kTopologyKeywords, value);
    if (!topology) return ExitWithUsage(out, kExitUsage, kBadTopology, value);
    parsed->settings.insert_or_assign(kTopologySetting,
                                      PropertyValue::String(std::string(*topology)));
  }
  parsed->settingsGiven = true;
  return std::nullopt;
}

// -l: the full listing, or the inventory document under --json, or the metrics under --metrics.
RunOutcome PrintListing(Services& services, const ParsedOptions& parsed) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  if (!registry.ok()) return RunOutcome::Failed(registry.status());
  if (parsed.json) {
    PrintInventoryDocument(**registry, services.out);
  } else if (parsed.metrics) {
    PrintMetrics(**registry, services.out);
  } else {
    PrintFullReport(**registry, services.out);
  }
  // Standard output stays what scripts parse; the administrator is told why it lists nothing.
  StatusOr<RegistryIterator> ports = DiscoverControllers(**registry);
  if (ports.ok() && !ports->Next()) {
    const std::string why = (*registry)->WhyNoPorts();
    services.err << "halvane: no Fibre Channel port: " << Escaped{why} << "\n";
  }
  return RunOutcome::Exit(kExitSuccess);
}

// --snapshot: written as the registry is walked, so that capturing a host of any size holds
// about one target's logical units. A failure found before the first byte prints nothing. One
// found later keeps what went out before it, says why in one line on standard error and ends the
// run with status 1: what went out lacks at least the document's closing brace, so that no run
// can take it for a snapshot.
RunOutcome PrintSnapshot(Services& services) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  if (!registry.ok()) return RunOutcome::Failed(registry.status());
  class ToOutput : public SnapshotSink {
   public:
    ToOutput(std::ostream& out, const Dictionary& note) : out_(out), note_(note) {}
    const Dictionary* CaptureNote() const override { return &note_; }
    Status Write(std::string_view piece) override {
      started = true;
      if (out_.write(piece.data(), static_cast<std::streamsize>(piece.size()))) return Status::Ok();
      refused = true;
      return Status::Error(kIoError, "write error on standard output");
    }
    bool started = false;
    bool refused = false;

   private:
    std::ostream& out_;
    const Dictionary& note_;
  } to_output(services.out, services.capture_note);
  const Status written = (*registry)->StreamSnapshot(to_output);
  // Standard output's own failure, and why, is told as the run ends.
  if (written.ok() || to_output.refused)
    return RunOutcome::Exit(written.ok() ? kExitSuccess : kExitFailure);
  if (!to_output.started) return RunOutcome::Failed(written);
  services.out.flush();
  return RunOutcome::Failed(written.Of("the snapshot is cut short"));
}

// --check: the verdict on every port's storage, or with -c on that port's, in the form the run
// asks for; its status is the exit status. A registry that cannot be read, or a port that no port
// is named, is a verdict too: UNKNOWN, and why.
RunOutcome PrintCheck(Services& services, const ParsedOptions& parsed) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  Verdict verdict;
  if (!registry.ok()) {
    verdict = UnknownVerdict(registry.status().message());
  } else {
    CheckScope scope{{}, parsed.accepted, services.ports_place};
    StatusOr<RegistryEntry> port = RegistryEntry();
    if (parsed.portWWN) port = FindPortByWWN(**registry, *parsed.portWWN);
    if (!port.ok()) {
      verdict = UnknownVerdict(port.status().message());
    } else {
      scope.port = *port;
      verdict = JudgeStorage(**registry, scope);
      const std::string baseline = parsed.baseline.value_or(services.baseline);
      if (!baseline.empty()) JudgeAgainstBaseline(**registry, baseline, scope, &verdict);
    }
  }
  if (parsed.json) {
    PrintCheckDocument(verdict, services.out);
  } else if (parsed.metrics) {
    PrintCheckMetrics(verdict, services.out);
  } else {
    PrintCheckText(verdict, services.out);
  }
  RunOutcome outcome = RunOutcome::Exit(static_cast<int>(verdict.status));
  outcome.check = true;
  return outcome;
}

// The SCSI host number of the port named wanted, for a rescan of that host alone.
std::optional<std::uint64_t> HostToRescan(Services& services, const std::string& wanted) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  return registry.ok() ? PortHostNumber(**registry, wanted) : std::nullopt;
}

}  // namespace

RunOutcome RunCommandLine(int argc, char* argv[], Services& services) {
  ParsedOptions parsed;
  const std::vector<option> long_options = LongOptionTable();
  std::ostream& out = services.out;
  // -r asks the kernel to rescan too; a scan finds what settings changed, so it runs once they
  // are written, or before a listing that ends the run sooner. A dry run sends and rescans
  // nothing: it says on plan what it would send and which hosts' scan it would write, there
  // (standard output, or standard error before a report, so that standard output holds the
  // report alone).
  bool rescan = false;
  // A word that is not an option changes nothing, but the administrator who typed it meant
  // something by it ("-s auto nport" sets no topology): said once, before the run does anything,
  // wherever on the line the run ends.
  const auto say_ignored = [&] {
    for (const std::string& word : parsed.ignored)
      services.err << "halvane: ignored \"" << Escaped{word} << "\", which is not an option\n";
    parsed.ignored.clear();
  };
  const auto rescan_now = [&](std::optional<std::uint64_t> host, std::ostream& plan) {
    if (rescan && parsed.dry_run) {
      DescribeRefreshNotification(services.ports, plan);
      services.rescan.DescribeRescan(host, plan, services.err);
    } else if (rescan) {
      services.rescan.RescanFibreChannelHosts(host, services.err);
    }
    rescan = false;
  };

  FindRunWideOptions(argc, argv, long_options, &parsed);
  // One form of report a run, wherever the options stand: a script that asks for two has a fault
  // to be told of before anything is done.
  if (parsed.json && parsed.metrics) return ExitWithUsage(out, kExitUsage, kFormatsExclusive, "");
  if (!parsed.accepted.empty() && !parsed.check)
    return ExitWithUsage(out, kExitUsage, kAcceptNeedsCheck, "");
  // An empty name would compare with nothing, or judge against no baseline, unsaid.
  if ((parsed.baseline && parsed.baseline->empty()) ||
      (parsed.diff_before && parsed.diff_before->empty()))
    return ExitWithUsage(out, kExitUsage, kCaptureNeedsName, "");
  if (parsed.baseline && !parsed.check)
    return ExitWithUsage(out, kExitUsage, kBaselineNeedsCheck, "");
  if (parsed.diff_before && (parsed.other_action || parsed.check || parsed.metrics))
    return ExitWithUsage(out, kExitUsage, kDiffAlone, "");
  // Restart the parser from scratch: a run may follow another in the same process.
  optind = 0;
  opterr = 1;
  for (;;) {
    const int c = getopt_long(argc, argv, kShortOptions, long_options.data(), nullptr);
    if (c == -1) break;
    switch (c) {
      case 'c':
        // A name that is not UTF-8 text can match no port, and would otherwise be dropped
        // silently together with the settings meant for it.
        if (!IsValidWwnText(optarg) || !IsValidUtf8(optarg)) {
          if (auto name = KernelFormWWN(optarg))
            services.err << "halvane: port names are written " << *name << ", not " << optarg
                         << "\n";
          return ExitWithUsage(out, kExitUsage, kBadWwn, "");
        }
        parsed.portWWN = optarg;
        break;
      case 'a':
      case 's':
      case 't':
        if (parsed.check) return ExitWithUsage(out, kExitUsage, kCheckTakesNoSettings, "");
        if (auto refused = RecordSetting(c, optarg, &parsed, out)) return *refused;
        break;
      case 'l':
        if (parsed.portWWN) return ExitWithUsage(out, kExitUsage, kListExclusive, "");
        say_ignored();
        rescan_now(std::nullopt, services.err);
        return parsed.check ? PrintCheck(services, parsed) : PrintListing(services, parsed);
      case kAcceptOption:
        if (!WwidKey(optarg)) return ExitWithUsage(out, kExitUsage, kBadAccept, optarg);
        break;
      case kJsonOption:
      case kMetricsOption:
      case kDryRunOption:
      case kCheckOption:
      case kDiffOption:
      case kBaselineOption:
        break;
      case kSnapshotOption:
        if (parsed.check) return ExitWithUsage(out, kExitUsage, kCheckTakesNoSettings, "");
        say_ignored();
        rescan_now(std::nullopt, services.err);
        return PrintSnapshot(services);
      case 'r':
        // The daemon's message goes out as it always has, where -r stands; the kernel is asked
        // too, as a host without the daemon would otherwise not notice the changed ports at all.
        if (!parsed.dry_run) SendRefreshNotification(services.ports);
        rescan = true;
        break;
      case 'h':
        return ExitWithUsage(out, kExitSuccess, "", "");
      case 'v':
        out << "halvane version " << kVersion << "\n";
        return RunOutcome::Exit(kExitSuccess);
      default:
        return ExitWithUsage(out, kExitUsage, "", "");
    }
  }

  say_ignored();
  if (parsed.diff_before) {
    rescan_now(std::nullopt, services.err);
    return RunDiff(services, *parsed.diff_before, parsed.json);
  }
  if (parsed.check) {
    // The scan first: the verdict is on what it finds. A dry run's plan goes to standard error,
    // so that standard output holds the verdict alone.
    std::optional<std::uint64_t> host;
    if (rescan && parsed.portWWN) host = HostToRescan(services, *parsed.portWWN);
    if (!parsed.portWWN || host) rescan_now(host, services.err);
    return PrintCheck(services, parsed);
  }
  if (parsed.portWWN) {
    const RunOutcome outcome = HandlePortRequest(parsed, services);
    // Only the named port's host is rescanned; a run refused as a whole asks nothing.
    if (rescan && outcome.exit_status != kExitNotRoot) {
      if (auto host = HostToRescan(services, *parsed.portWWN)) rescan_now(*host, out);
    }
    return outcome;
  }
  // Settings with no port to take them must not pass for a change that was made.
  if (parsed.settingsGiven) return ExitWithUsage(out, kExitUsage, kSettingsNeedPort, "");
  if (argc == 1) return ExitWithUsage(out, kExitSuccess, "", "");
  rescan_now(std::nullopt, out);
  return RunOutcome{};
}

bool AsksForCheck(int argc, char* argv[]) {
  ParsedOptions parsed;
  FindRunWideOptions(argc, argv, LongOptionTable(), &parsed);
  return parsed.check;
}

bool AsksForDiff(int argc, char* argv[]) {
  ParsedOptions parsed;
  FindRunWideOptions(argc, argv, LongOptionTable(), &parsed);
  return parsed.diff_before.has_value();
}

int FinishRun(const RunOutcome& outcome, FdOutput& stdout_buffer, std::ostream& err) {
  if (!outcome.failure.ok()) {
    stdout_buffer.Discard();
    err << "halvane: " << Escaped{outcome.failure.message()} << "\n";
    return outcome.check ? outcome.FailedExitStatus() : outcome.ProcessExitStatus();
  }
  if (const Status flushed = stdout_buffer.Flush(); !flushed.ok()) {
    err << "halvane: write error on standard output: " << flushed.message() << "\n";
    return outcome.FailedExitStatus();
  }
  return outcome.ProcessExitStatus();
}

}  // namespace halvane
