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
