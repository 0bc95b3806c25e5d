#include "config/port_print.h"

#include "inventory/controller_report.h"
#include "inventory/port_info.h"
#include "listing/inventory_document.h"
#include "listing/metrics.h"

namespace halvane {

void SayNotFound(Services& services, DeviceRegistry& registry, const std::string& wwn) {
  const StatusOr<WwnBytes> bytes = ParseWwnText(wwn);
  if (bytes.ok() && FindPortByWWN(registry, WwnText(*bytes)).ok()) {
    TellFailure(services.err, "no port is named " + wwn +
                                  "; port names are written with colons: " + WwnText(*bytes));
  } else {
    TellFailure(services.err, "no port is named " + wwn + " (halvane -l lists the ports)");
  }
}

RunOutcome PrintPort(const std::string& wwn, const ParsedOptions& options, Services& services,
                     DeviceRegistry& registry) {
  if (!options.json && !options.metrics) registry.LeaveOutCounters();
  const StatusOr<RegistryEntry> found = FindPortByWWN(registry, wwn);
  if (found.status().code() == kNoDevice) SayNotFound(services, registry, wwn);
  const RegistryEntry port = found.ok() ? *found : RegistryEntry();
  if (options.json) {
    // A port that is not there is an empty inventory, which scripts read like any other.
    PrintPortDocument(registry, port, services.out);
  } else if (options.metrics) {
    // And no metrics at all, which a collector reads as a port gone.
    PrintPortMetrics(registry, port, services.out);
  } else if (port) {
    services.out << "\n";
    (void)PrintPortBlock(registry, port, services.out);
  }
  return EndOfReport(services, registry, options);
}

}  // namespace halvane
