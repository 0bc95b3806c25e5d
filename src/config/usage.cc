#include "config/run.h"

namespace halvane {

const char kUsageText[] =
    "usage: halvane [-l] [-c PortWWN [-a, -s, -t]] [-r] [-v]\n"
    "\n"
    "where options are:\n"
    "\n"
    "\t-l Lists all known information about all nodes (controllers, targets, and their LUNs).\n"
    "\n"
    "\t-c xx:xx:xx:xx:xx:xx:xx:xx          Lists information for a controller specified by its "
    "Port World Wide Name.\n"
    "\n"
    "\t-c xx:xx:xx:xx:xx:xx:xx:xx -a       Set AL_PA for specified Port World Wide Name (test for "
    "neutral disparity).\n"
    "\t\texample: -c 00:11:22:33:44:55:66:77 -a 1E     Sets the AL_PA to 1E.\n"
    "\n"
    "\t\texample: -c 00:11:22:33:44:55:66:77 -a FF     Disables AL_PA.\n"
    "\n"
    "\t-c xx:xx:xx:xx:xx:xx:xx:xx -s       Sets speed to [1gigabit, 2gigabit, 4gigabit, 8gigabit, "
    "16gigabit, 32gigabit, 64gigabit, 128gigabit, auto] for specified Port World Wide Name.\n"
    "\t\texample: -c 00:11:22:33:44:55:66:77 -s auto   Sets the speed to auto.\n"
    "\n"
    "\t-c xx:xx:xx:xx:xx:xx:xx:xx -t       Sets topology to [nport, nlport, auto] for specified "
    "Port World Wide Name.\n"
    "\t\texample: -c 00:11:22:33:44:55:66:77 -t nlport Sets the topology to nlport.\n"
    "\n"
    "\t-r Refreshes (synchronizes) any changes with the system information.\n"
    "\t\tThis is typically done once all desired configurations have been set.\n"
    "\n"
    "\t-v Display version number\n"
    "\n"
    "\t--json Prints the listing of -l or the port of -c as one JSON document instead of text.\n"
    "\t\tIt may stand anywhere on the line; not with --metrics.\n"
    "\n"
    "\t--metrics Prints the listing of -l or the port of -c as Prometheus metrics instead of "
    "text.\n"
    "\t\tIt may stand anywhere on the line; not with --json.\n"
    "\n"
    "\t--snapshot Prints the registry this run reads as a registry snapshot, which\n"
    "\t\tHALVANE_REGISTRY can name in a later run in place of the host.\n"
    "\n"
    "\t--dry-run With -a, -s or -t: prints what the settings would write, and writes nothing.\n"
    "\t\tIt may stand anywhere on the line.\n"
    "\n"
    "\t--check Judges the storage of every Fibre Channel port (with -c, that port's LUNs and\n"
    "\t\tnamespaces): prints HALVANE OK, WARNING, CRITICAL or UNKNOWN and one line per finding,\n"
    "\t\tand exits 0, 1, 2 or 3; --json prints it as a document, --metrics as gauges.\n"
    "\n"
    "\t--accept WWID With --check, accepts that the LUN or namespace of that WWID is reached one\n"
    "\t\tway only (repeatable).\n"
    "\n"
    "\t--diff BEFORE Compares the capture BEFORE (--snapshot) with the host this run reads: one\n"
    "\t\tline per port, remote port, path, LUN or map added, removed or changed, per name moved\n"
    "\t\tand per link error counter risen; exits 0 when nothing differs, 1 when something does,\n"
    "\t\t2 when either side cannot be read; --json prints it as a document.\n"
    "\n";

RunOutcome ExitWithUsage(std::ostream& out, int status, std::string_view message,
                         std::string_view detail) {
  out << kUsageText << "exitcode " << status << " - " << message << " " << detail << "\n\n";
  return RunOutcome::Exit(status);
}

}  // namespace halvane
