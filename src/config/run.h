// What one run of the tool works with and how it ends: the front end and the settings path both
// work in these terms, so they sit below both.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_rescan.h"
#include "host/message_ports.h"
#include "host/user_identity.h"
#include "registry/device_registry.h"
#include "registry/lazy_registry.h"

namespace halvane {

// The host services of one run, and where its output goes: the reports to out, and to err every
// message (why a change was not made, what was ignored, a host that could not be rescanned).
struct Services {
  LazyRegistry& registry;  // opened when the run first needs it
  const UserIdentity& users;
  MessagePorts& ports;
  std::ostream& out;
  std::ostream& err;
  HostRescan& rescan;
  // Where the registry looks for ports, as a check run's verdict names it when it finds none.
  std::string ports_place = "the registry";
  // What a capture (--snapshot) says of where, when and by what it was taken.
  Dictionary capture_note = Dictionary();
  // The baseline a check run is judged against when the command line names none.
  std::string baseline = std::string();
};

// What the option pass records of a command line: the port and the settings asked for, the
// options that decide which run it is and how it prints, and the words that are not options.
struct ParsedOptions {
  std::optional<std::string> portWWN;  // exactly as typed
  Dictionary settings;                 // the port settings, under the k...Setting keys
  bool settingsGiven = false;
  bool json = false;                 // the reports print the inventory document instead of text
  bool metrics = false;              // the reports print Prometheus metrics instead of text
  bool dry_run = false;              // settings are described, not written
  std::vector<std::string> ignored;  // the words that are not options, in order
  bool check = false;                // the run prints a verdict on the storage instead of a listing
  std::vector<std::string> accepted;       // --accept: WWIDs reached one way on purpose
  bool list = false;                       // -l
  std::optional<std::string> output;       // --output: the file the report replaces, as typed
  bool dot = false;                        // the run draws the storage as a Graphviz graph
  std::optional<std::string> diff_before;  // --diff: the capture to compare the host with
  bool other_action = false;  // -c, -l, a setting or --snapshot, which --diff does not go with
  std::optional<std::string> baseline;  // --baseline: the capture a check is judged against
};

// The exit statuses of the process, as scripts read them.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;       // settings not applied, registry or output unusable
inline constexpr int kExitPortNotFound = 2;  // no port has the name given with -c
inline constexpr int kExitUsage = 3;         // the command line was refused
inline constexpr int kExitNotRoot = 77;      // settings need root
// A document (--json) or metrics (--metrics) that lack what could not be read: complete in form,
// so that a script can still parse it, but not to be taken for the whole host.
inline constexpr int kExitPartial = 74;
// A check run's own failure (its output could not be written, it ran out of memory): UNKNOWN, as
// monitoring reads statuses. Its verdicts are 0 OK, 1 WARNING, 2 CRITICAL and 3 UNKNOWN.
inline constexpr int kExitCheckUnknown = 3;

// How a run ends: the exit status of the process. Exits are decided only by the front end and the
// settings path and travel up as this value, so nothing below them ends the process.
struct RunOutcome {
  int exit_status = kExitSuccess;
  // Why the run could not do what was asked, when it did not say so itself (a registry that
  // could not be opened, a snapshot that could not be written down): whoever ends the process
  // tells it, in one line, and drops what the run printed, which is not the whole of anything.
  Status failure;
  // A check run, whose own failure is UNKNOWN rather than the status 1 of other runs.
  bool check = false;
  // What went to the run's standard output is the report it was asked for (a listing, a
  // verdict), not a usage text or a version line: with --output, it is what replaces the file.
  bool report = false;
  // A run whose own failure has a status of its own (a comparison's 2, as diff(1)'s trouble).
  int trouble_status = 0;

  static RunOutcome Exit(int code) { return RunOutcome{code, Status::Ok()}; }
  static RunOutcome Failed(Status why) { return RunOutcome{kExitFailure, std::move(why)}; }
  int ProcessExitStatus() const { return exit_status; }
  // The status of a run that failed of itself.
  int FailedExitStatus() const {
    if (trouble_status != 0) return trouble_status;
    return check ? kExitCheckUnknown : kExitFailure;
  }
};

// Writes the usage text and the line "exitcode <status> - <message> <detail>" and ends the run
// with status.
RunOutcome ExitWithUsage(std::ostream& out, int status, std::string_view message,
                         std::string_view detail);

// The usage text, exactly as printed.
extern const char kUsageText[];

// Tells each read of the host that failed, one line each on services.err ("halvane: cannot read
// PATH: REASON"), and answers how a report run that printed in the form options ask for ends:
// kExitPartial for a document or metrics that lack what could not be read, success otherwise (the
// text leaves out what it could not read, as it leaves out what is absent, and says so there).
RunOutcome EndOfReport(Services& services, const DeviceRegistry& registry,
                       const ParsedOptions& options);
// The line that tells an administrator of a failure, with the tool's name before it.
void TellFailure(std::ostream& err, std::string_view what);

}  // namespace halvane
