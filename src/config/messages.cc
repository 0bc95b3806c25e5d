// What a run tells the administrator on standard error, each line with the tool's name before it:
// written here once, so that every message looks alike and escapes what it quotes.
#include "base/text.h"
#include "config/run.h"

namespace halvane {

void TellFailure(std::ostream& err, std::string_view what) {
  err << "halvane: " << Escaped{what} << "\n";
}

RunOutcome EndOfReport(Services& services, const DeviceRegistry& registry,
                       const ParsedOptions& options) {
  const ReadFailures& failed = registry.FailedReads();
  for (const ReadFailure& failure : failed.all())
    TellFailure(services.err, "cannot read " + failure.path + ": " + failure.reason);
  const bool partial = !failed.empty() && (options.json || options.metrics);
  return RunOutcome::Exit(partial ? kExitPartial : kExitSuccess);
}

}  // namespace halvane
