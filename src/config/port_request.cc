#include "config/port_request.h"

#include <cstdio>

#include "inventory/controller_report.h"
#include "inventory/port_info.h"
#include "listing/inventory_document.h"

namespace halvane {
namespace {

// A change that did not happen must never look like one that did: the administrator is told,
// and the exit status says so.
RunOutcome NotApplied(Services& services, const Status& status) {
  char line[96];
  std::snprintf(line, sizeof line,
                "Could not apply settings to the specified port (status 0x%08X).\n",
                static_cast<std::uint32_t>(status.code()));
  services.out << line;
  // Standard output says that the settings were not applied; this says why.
  std::string holder;
  if (!status.message().empty())
    services.err << "halvane: " << EscapeControls(status.message(), &holder) << "\n";
  return RunOutcome::Exit(kExitFailure);
}

RunOutcome PrintPort(const std::string& wwn, bool json, Services& services) {
  // Printing a port never changes the exit status: a port that is not there, or one that cannot
  // be read whole, prints what there is to print.
  RegistryEntry port;
  const Status found = FindPortByWWN(services.registry, wwn, &port);
  if (json) {
    // A port that is not there is an empty inventory, which scripts read like any other.
    PrintPortDocument(services.registry, port, services.out);
    return RunOutcome{};
  }
  if (!found.ok()) return RunOutcome{};
  services.out << "\n";
  (void)PrintPortBlock(services.registry, port, services.out);
  return RunOutcome{};
}

}  // namespace

RunOutcome HandlePortRequest(const ParsedOptions& options, Services& services) {
  const std::string& wwn = *options.portWWN->AsString();
  if (!options.settingsGiven) return PrintPort(wwn, options.json, services);

  // Checked before the registry is touched.
  if (services.users.EffectiveUserId() != 0) {
    services.out << kNotRootMessage << "\n";
    return RunOutcome::Exit(kExitNotRoot);
  }
  services.registry.PrepareToWrite();
  RegistryEntry port;
  if (Status found = FindPortByWWN(services.registry, wwn, &port); !found.ok()) {
    if (found.code() == kRegistryNoDevice)
      return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
    return NotApplied(services, found);
  }
  const Status written = services.registry.WriteProperties(port, options.settings);
  // The port can go away between the lookup and the write.
  if (written.code() == kRegistryNoDevice)
    return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
  if (!written.ok()) return NotApplied(services, written);
  return RunOutcome{};
}

}  // namespace halvane
