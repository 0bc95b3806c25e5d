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
};

// What the option pass records for the settings path.
struct ParsedOptions {
  std::optional<std::string> portWWN;  // exactly as typed
  Dictionary settings;                 // the port settings, under the k...Setting keys
  bool settingsGiven = false;
  bool json = false;                 // the reports print the inventory document instead of text
  bool metrics = false;              // the reports print Prometheus metrics instead of text
  bool dry_run = false;              // settings are described, not written
  std::vector<std::string> ignored;  // the words that are not options, in order
};

// The exit statuses of the process, as scripts read them.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;       // settings not applied, registry or output unusable
inline constexpr int kExitPortNotFound = 2;  // no port has the name given with -c
inline constexpr int kExitUsage = 3;         // the command line was refused
inline constexpr int kExitNotRoot = 77;      // settings need root

// How a run ends: the exit status of the process. Exits are decided only by the front end and the
// settings path and travel up as this value, so nothing below them ends the process.
struct RunOutcome {
  int exit_status = kExitSuccess;
  // Why the run could not do what was asked, when it did not say so itself (a registry that
  // could not be opened, a snapshot that could not be written down): whoever ends the process
  // tells it, in one line, and drops what the run printed, which is not the whole of anything.
  Status failure;

  static RunOutcome Exit(int code) { return RunOutcome{code, Status::Ok()}; }
  static RunOutcome Failed(Status why) { return RunOutcome{kExitFailure, std::move(why)}; }
  int ProcessExitStatus() const { return exit_status; }
};

// Writes the usage text and the line "exitcode <status> - <message> <detail>" and ends the run
// with status.
RunOutcome ExitWithUsage(std::ostream& out, int status, std::string_view message,
                         std::string_view detail);

// The usage text, exactly as printed.
extern const char kUsageText[];

}  // namespace halvane
