#include "cli/front_end.h"

#include <getopt.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/file_replace.h"
#include "check/baseline.h"
#include "check/check_report.h"
#include "check/judge.h"
#include "check/san_picture.h"
#include "cli/diff_run.h"
#include "cli/validation.h"
#include "config/port_print.h"
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
constexpr int kOutputOption = 0x106;
constexpr int kDotOption = 0x107;
constexpr int kDiffOption = 0x108;
constexpr int kBaselineOption = 0x109;

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
    {"output", kOutputOption, true},
    {"dot", kDotOption, false},
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
constexpr char kOutputNeedsMetrics[] = "The --output option is for --metrics with -l or --check.";
constexpr char kDotStandsAlone[] =
    "The --dot option takes no settings, no --snapshot, --check, --json or --metrics.";
constexpr char kBaselineNeedsCheck[] = "The --baseline option is for --check.";
constexpr char kCaptureNeedsName[] = "The --diff and --baseline options name a capture file.";
constexpr char kDiffAlone[] =
    "The --diff option takes no other action (-c, -l, --check, --dot, --snapshot, settings) and "
    "no --metrics.";
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
// --dry-run, --check and the WWIDs --accept gives it, --output, -l, --dot, the captures of --diff
// and --baseline, and whether an action --diff does not go with is asked for), and the words that
// are not options, found the way the option pass finds options (an option value that reads
// "--json" is not one), without any message: the pass itself reports faults.
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
    if (c == kOutputOption && optarg) parsed->output = optarg;
    if (c == 'l') parsed->list = true;
    if (c == kDotOption) parsed->dot = true;
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

// Validates the value of -a, -s or -t (option) and records the setting; the message that refuses
// the value, or nullptr when it is recorded.
const char* RecordSetting(int option, const char* value, ParsedOptions* parsed) {
  if (option == 'a') {
    const auto alpa = ParseAlpaArgument(value);
    if (!alpa) return kBadAlpa;
    parsed->settings.insert_or_assign(kHardLoopIdSetting, PropertyValue::Int64(*alpa));
  } else if (option == 's') {
    const auto speed = Lookup(kSpeedKeywords, value);
    if (!speed) return kBadSpeed;
    parsed->settings.insert_or_assign(kSpeedSetting, PropertyValue::String(std::string(*speed)));
  } else {
    const auto topology = Lookup(kTopologyKeywords, value);
    if (!topology) return kBadTopology;
    parsed->settings.insert_or_assign(kTopologySetting,
                                      PropertyValue::String(std::string(*topology)));
  }
  parsed->settingsGiven = true;
  return nullptr;
}

// A refused command line ends with the usage and "exitcode 3 - MESSAGE DETAIL" as always; a check
// run says why first, in the one line a monitoring system shows of it.
RunOutcome Refuse(std::ostream& out, const ParsedOptions& parsed, std::string_view message,
                  std::string_view detail) {
  if (parsed.check) {
    out << "HALVANE UNKNOWN - " << Escaped{message};
    if (!detail.empty()) out << " " << Escaped{detail};
    out << "\n";
  }
  return ExitWithUsage(out, kExitUsage, message, detail);
}

// Why the option parser refused the word before optind, which it has said on standard error in
// its own words: optopt is the option whose value is missing or unwanted, or one it does not know
// (0 for an unknown long option).
std::string RefusedOptionReason(char* argv[]) {
  if (optopt > 0 && optopt < 0x100 && !std::strchr(kShortOptions, optopt))
    return std::string("unknown option -") + static_cast<char>(optopt);
  for (int i = 0; i < kLongOptionCount && optopt != 0; ++i) {
    const LongOptionName& o = kLongOptionNames[i];
    if (o.letter != optopt) continue;
    const bool typed_long = optind > 0 && std::strncmp(argv[optind - 1], "--", 2) == 0;
    const std::string name = o.letter < 0x100 && !typed_long
                                 ? std::string("-") + static_cast<char>(o.letter)
                                 : std::string("--") + o.name;
    return "option " + name + (o.takes_value ? " needs a value" : " takes no value");
  }
  const std::string_view word = optind > 0 ? argv[optind - 1] : "";
  if (word.size() > 1 && word[0] == '-')
    return "unknown option " + std::string(word.substr(0, word.find('=')));
  return "option not accepted";
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
    (*registry)->LeaveOutCounters();
    PrintFullReport(**registry, services.out);
  }
  // Standard output stays what scripts parse; the administrator is told why it lists nothing:
  // the reads that failed, when any did, say it better than a guess at the cause.
  StatusOr<RegistryIterator> ports = DiscoverControllers(**registry);
  if (ports.ok() && !ports->Next() && (*registry)->FailedReads().empty())
    TellFailure(services.err, "no Fibre Channel port: " + (*registry)->WhyNoPorts());
  RunOutcome outcome = EndOfReport(services, **registry, parsed);
  outcome.report = true;
  return outcome;
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
// is named, is a verdict too: UNKNOWN, and why. With --metrics and -l, the listing's metrics (of
// the port of -c, if any) come first, from the same reading of the host: one run serves the
// metrics file whole.
RunOutcome PrintCheck(Services& services, const ParsedOptions& parsed) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  Verdict verdict;
  if (!registry.ok()) {
    verdict = UnknownVerdict(registry.status().message());
  } else {
    if (parsed.metrics && parsed.list) (*registry)->KeepWhatIsRead();
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
      if (parsed.metrics && parsed.list && parsed.portWWN) {
        PrintPortMetrics(**registry, *port, services.out);
      } else if (parsed.metrics && parsed.list) {
        PrintMetrics(**registry, services.out);
      }
      // The listing's metrics say what could not be read as a listing does: on standard error
      // too, where the service's journal keeps it.
      if (parsed.metrics && parsed.list) (void)EndOfReport(services, **registry, parsed);
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
  outcome.report = true;
  return outcome;
}

// --dot: the picture of every port's storage, or with -c of that port's, coloured by the check's
// verdict on it. A port that no port is named is told, and draws an empty picture, as its
// document is an empty inventory.
RunOutcome PrintPicture(Services& services, const ParsedOptions& parsed) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  if (!registry.ok()) return RunOutcome::Failed(registry.status());
  CheckScope scope{{}, parsed.accepted, services.ports_place};
  if (parsed.portWWN) {
    const StatusOr<RegistryEntry> port = FindPortByWWN(**registry, *parsed.portWWN);
    if (port.status().code() == kNoDevice) SayNotFound(services, **registry, *parsed.portWWN);
    if (!port.ok()) {
      PrintEmptySanPicture(**registry, port.status().message(), services.out);
      return RunOutcome::Exit(kExitSuccess);
    }
    scope.port = *port;
  }
  PrintSanPicture(**registry, scope, services.out);
  // The picture draws what could be read, as the text listing does, and what could not is told
  // on standard error (and is a finding of the verdict that colours it).
  (void)EndOfReport(services, **registry, parsed);
  return RunOutcome::Exit(kExitSuccess);
}

// The SCSI host number of the port named wanted, for a rescan of that host alone.
std::optional<std::uint64_t> HostToRescan(Services& services, const std::string& wanted) {
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  return registry.ok() ? PortHostNumber(**registry, wanted) : std::nullopt;
}

// What the options after the run-wide pass ask for, read in order up to the first that ends the
// reading: a refusal, the usage, the version, -l or --snapshot; or the end of the line, when the
// whole line says what the run does.
struct Command {
  enum class Kind {
    kRefuse,     // Refuse(message, detail), after the hint on standard error when there is one
    kUsage,      // the usage, with status, message and detail
    kBadOption,  // a word the option parser refused: the usage, after a check run's reason (detail)
    kVersion,
    kListing,  // -l: the listing, or the picture under --dot
    kSnapshot,
    kWholeLine,
  };
  Kind kind = Kind::kWholeLine;
  std::string_view message;
  std::string detail;
  std::string hint;
  int status = kExitUsage;
  // -r asks the kernel to rescan too; a scan finds what settings changed, so it runs once they
  // are written, or before a listing that ends the run sooner. A dry run sends and rescans
  // nothing: it says on plan what it would send and which hosts' scan it would write, there
  // (standard output, or standard error before a report, so that standard output holds the
  // report alone).
  bool rescan = false;
};

// The conflict of the run-wide options, refused before anything is done: one form of report a
// run, wherever the options stand, as a script that asks for two has a fault to be told of.
std::optional<std::string_view> ConflictOf(const ParsedOptions& parsed) {
  if (parsed.json && parsed.metrics) return kFormatsExclusive;
  if (!parsed.accepted.empty() && !parsed.check && !parsed.dot) return kAcceptNeedsCheck;
  if (parsed.output && !(parsed.metrics && (parsed.list || parsed.check)))
    return kOutputNeedsMetrics;
  if (parsed.dot && (parsed.json || parsed.metrics || parsed.check)) return kDotStandsAlone;
  // An empty name would compare with nothing, or judge against no baseline, unsaid.
  if ((parsed.baseline && parsed.baseline->empty()) ||
      (parsed.diff_before && parsed.diff_before->empty()))
    return kCaptureNeedsName;
  if (parsed.baseline && !parsed.check) return kBaselineNeedsCheck;
  if (parsed.diff_before &&
      (parsed.other_action || parsed.check || parsed.metrics || parsed.dot || parsed.output))
    return kDiffAlone;
  return std::nullopt;
}

// Ends the reading of the line as kind says: true, for ReadOption to answer.
bool Ends(Command* command, Command::Kind kind, std::string_view message = "",
          std::string detail = "") {
  command->kind = kind;
  command->message = message;
  command->detail = std::move(detail);
  return true;
}

// -c: the port's name, refused unless it is one. A name that is not UTF-8 text can match no port,
// and would otherwise be dropped silently together with the settings meant for it.
bool ReadPortName(const char* value, ParsedOptions* parsed, Command* command) {
  if (IsValidWwnText(value) && IsValidUtf8(value)) {
    parsed->portWWN = value;
    return false;
  }
  if (auto name = KernelFormWWN(value))
    command->hint = "port names are written " + *name + ", not " + std::string(value);
  return Ends(command, Command::Kind::kRefuse, kBadWwn);
}

// Reads the option c, its value in optarg, into parsed; true when it ends the reading, command
// then saying how.
bool ReadOption(int c, char* argv[], Services& services, ParsedOptions* parsed, Command* command) {
  using Kind = Command::Kind;
  switch (c) {
    case 'c':
      return ReadPortName(optarg, parsed, command);
    case 'a':
    case 's':
    case 't':
      if (parsed->check) return Ends(command, Kind::kRefuse, kCheckTakesNoSettings);
      if (parsed->dot) return Ends(command, Kind::kRefuse, kDotStandsAlone);
      if (const char* refused = RecordSetting(c, optarg, parsed))
        return Ends(command, Kind::kUsage, refused, optarg);
      return false;
    case 'l':
      // A check reads the whole line: its -c, wherever it stands, scopes the verdict.
      if (parsed->check) return false;
      if (parsed->portWWN) return Ends(command, Kind::kRefuse, kListExclusive);
      return Ends(command, Kind::kListing);
    case kAcceptOption:
      return !WwidKey(optarg) && Ends(command, Kind::kRefuse, kBadAccept, optarg);
    case kJsonOption:
    case kMetricsOption:
    case kOutputOption:
    case kDryRunOption:
    case kCheckOption:
    case kDotOption:
    case kDiffOption:
    case kBaselineOption:
      return false;
    case kSnapshotOption:
      if (parsed->check) return Ends(command, Kind::kRefuse, kCheckTakesNoSettings);
      if (parsed->dot) return Ends(command, Kind::kRefuse, kDotStandsAlone);
      return Ends(command, Kind::kSnapshot);
    case 'r':
      // The daemon's message goes out as it always has, where -r stands; the kernel is asked
      // too, as a host without the daemon would otherwise not notice the changed ports at all.
      if (!parsed->dry_run) SendRefreshNotification(services.ports);
      command->rescan = true;
      return false;
    // A check run that prints help or the version has judged nothing: UNKNOWN, as monitoring
    // plugins end them, so that a command definition with -v never reads as OK.
    case 'h':
      command->status = parsed->check ? kExitUsage : kExitSuccess;
      return Ends(command, Kind::kUsage);
    case 'v':
      return Ends(command, Kind::kVersion);
    default:
      return Ends(command, Kind::kBadOption, "", parsed->check ? RefusedOptionReason(argv) : "");
  }
}

// Reads the options of the line in order into parsed, after the run-wide pass.
Command ReadCommand(int argc, char* argv[], const std::vector<option>& long_options,
                    Services& services, ParsedOptions* parsed) {
  Command command;
  // Restart the parser from scratch: a run may follow another in the same process.
  optind = 0;
  opterr = 1;
  for (;;) {
    optopt = 0;
    const int c = getopt_long(argc, argv, kShortOptions, long_options.data(), nullptr);
    if (c == -1 || ReadOption(c, argv, services, parsed, &command)) return command;
  }
}

// A word that is not an option changes nothing, but the administrator who typed it meant
// something by it ("-s auto nport" sets no topology): said once, before the run does anything,
// wherever on the line the run ends.
void SayIgnored(Services& services, ParsedOptions* parsed) {
  for (const std::string& word : parsed->ignored)
    TellFailure(services.err, "ignored \"" + word + "\", which is not an option");
  parsed->ignored.clear();
}

// The rescan that -r asks for, of host or of every Fibre Channel host, or under --dry-run its
// plan, on plan.
void RescanNow(Services& services, const ParsedOptions& parsed, const Command& command,
               std::optional<std::uint64_t> host, std::ostream& plan) {
  if (command.rescan && parsed.dry_run) {
    DescribeRefreshNotification(services.ports, plan);
    const HostRescan::Plan planned = services.rescan.DescribeRescan(host);
    plan << planned.plan;
    for (const Status& failure : planned.failures) TellFailure(services.err, failure.message());
  } else if (command.rescan) {
    for (const Status& failure : services.rescan.RescanFibreChannelHosts(host))
      TellFailure(services.err, failure.message());
  }
}

// The run that the whole line asks for, read to its end.
RunOutcome RunWholeLine(const Command& command, int argc, Services& services,
                        const ParsedOptions& parsed) {
  if (parsed.diff_before) {
    RescanNow(services, parsed, command, std::nullopt, services.err);
    return RunDiff(services, *parsed.diff_before, parsed.json);
  }
  if (parsed.check || parsed.dot) {
    // The scan first: the verdict is on what it finds. A dry run's plan goes to standard error,
    // so that standard output holds the verdict (or the picture) alone.
    std::optional<std::uint64_t> host;
    if (command.rescan && parsed.portWWN) host = HostToRescan(services, *parsed.portWWN);
    if (!parsed.portWWN || host) RescanNow(services, parsed, command, host, services.err);
    return parsed.dot ? PrintPicture(services, parsed) : PrintCheck(services, parsed);
  }
  if (parsed.portWWN) {
    const RunOutcome outcome = HandlePortRequest(parsed, services);
    // Only the named port's host is rescanned; a run refused as a whole asks nothing.
    if (command.rescan && outcome.exit_status != kExitNotRoot) {
      if (auto host = HostToRescan(services, *parsed.portWWN))
        RescanNow(services, parsed, command, *host, services.out);
    }
    return outcome;
  }
  // Settings with no port to take them must not pass for a change that was made.
  if (parsed.settingsGiven) return Refuse(services.out, parsed, kSettingsNeedPort, "");
  if (argc == 1) return ExitWithUsage(services.out, kExitSuccess, "", "");
  RescanNow(services, parsed, command, std::nullopt, services.out);
  return RunOutcome{};
}

// Ends the run as command says, with the options read into parsed.
RunOutcome Dispatch(const Command& command, int argc, Services& services, ParsedOptions& parsed) {
  std::ostream& out = services.out;
  switch (command.kind) {
    case Command::Kind::kRefuse:
      if (!command.hint.empty()) TellFailure(services.err, command.hint);
      return Refuse(out, parsed, command.message, command.detail);
    case Command::Kind::kUsage:
      return ExitWithUsage(out, command.status, command.message, command.detail);
    case Command::Kind::kBadOption:
      if (parsed.check) out << "HALVANE UNKNOWN - " << Escaped{command.detail} << "\n";
      return ExitWithUsage(out, kExitUsage, "", "");
    case Command::Kind::kVersion:
      out << "halvane version " << kVersion << "\n";
      return RunOutcome::Exit(parsed.check ? kExitUsage : kExitSuccess);
    case Command::Kind::kListing:
    case Command::Kind::kSnapshot:
      SayIgnored(services, &parsed);
      RescanNow(services, parsed, command, std::nullopt, services.err);
      if (command.kind == Command::Kind::kSnapshot) return PrintSnapshot(services);
      return parsed.dot ? PrintPicture(services, parsed) : PrintListing(services, parsed);
    case Command::Kind::kWholeLine:
      break;
  }
  SayIgnored(services, &parsed);
  return RunWholeLine(command, argc, services, parsed);
}

RunOutcome RunOptions(int argc, char* argv[], Services& services) {
  ParsedOptions parsed;
  const std::vector<option> long_options = LongOptionTable();
  FindRunWideOptions(argc, argv, long_options, &parsed);
  if (const auto conflict = ConflictOf(parsed)) return Refuse(services.out, parsed, *conflict, "");
  const Command command = ReadCommand(argc, argv, long_options, services, &parsed);
  return Dispatch(command, argc, services, parsed);
}

// With --output, the report the run prints replaces the file, and nothing else does: the file's
// folder is opened before the host is read, the report is held until it is whole, and a run that
// fails leaves the file as it was. What is not a report (help, a refused line) goes to standard
// output as without --output. The exit status then says whether the file was written: 0 when it
// holds the new report (the verdict, in a check run, is in the file), 1 when it was left as it was.
RunOutcome RunIntoFile(int argc, char* argv[], Services& services, const std::string& path) {
  StatusOr<ReplacedFile> file = ReplacedFile::Open(path);
  if (!file.ok()) return RunOutcome::Failed(file.status());
  std::ostringstream report;
  Services into_file{services.registry, services.users,  services.ports,      report,
                     services.err,      services.rescan, services.ports_place};
  RunOutcome outcome = RunOptions(argc, argv, into_file);
  if (!outcome.report) {
    services.out << report.view();
    return outcome;
  }
  if (!outcome.failure.ok()) return RunOutcome::Failed(outcome.failure);
  if (!report) return RunOutcome::Failed(Status::Error(kIoError, "not enough memory for " + path));
  if (Status replaced = file->Replace(report.view(), 0644); !replaced.ok())
    return RunOutcome::Failed(replaced);
  // Metrics that lack what could not be read replace the file all the same, so that their error
  // gauge reaches the alert rules, and the run says so by its status. The registry is open: the
  // report read it.
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  const bool partial = registry.ok() && !(*registry)->FailedReads().empty();
  return RunOutcome::Exit(partial ? kExitPartial : kExitSuccess);
}

}  // namespace

RunOutcome RunCommandLine(int argc, char* argv[], Services& services) {
  ParsedOptions wide;
  FindRunWideOptions(argc, argv, LongOptionTable(), &wide);
  // A line that asks for the file wrongly is refused as any other, and opens nothing.
  if (!wide.output || !wide.metrics || wide.json || !(wide.list || wide.check))
    return RunOptions(argc, argv, services);
  return RunIntoFile(argc, argv, services, *wide.output);
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
    TellFailure(err, outcome.failure.message());
    return outcome.check ? outcome.FailedExitStatus() : outcome.ProcessExitStatus();
  }
  if (const Status flushed = stdout_buffer.Flush(); !flushed.ok()) {
    TellFailure(err, "write error on standard output: " + flushed.message());
    return outcome.FailedExitStatus();
  }
  return outcome.ProcessExitStatus();
}

}  // namespace halvane
