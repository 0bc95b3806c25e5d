#include "config/port_request.h"

#include <cstdio>

#include "cli/validation.h"
#include "inventory/controller_report.h"
#include "inventory/port_info.h"
#include "listing/inventory_document.h"
#include "listing/metrics.h"

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

// Says on standard error that no port has the name typed, and what to type instead: the name of
// the same bytes as port names are written, when a port has it.
void SayNotFound(Services& services, const std::string& wwn) {
  std::string holder;
  services.err << "halvane: no port is named " << EscapeControls(wwn, &holder);
  std::uint8_t bytes[8];
  RegistryEntry other;
  if (ParseHexBytes(wwn.c_str(), -1, 8, bytes).ok() &&
      FindPortByWWN(services.registry, WWNText(bytes), &other).ok()) {
    services.err << "; port names are written with colons: " << WWNText(bytes) << "\n";
  } else {
    services.err << " (halvane -l lists the ports)\n";
  }
}

RunOutcome PrintPort(const std::string& wwn, const ParsedOptions& options, Services& services) {
  // Printing a port never changes the exit status: a port that is not there, or one that cannot
  // be read whole, prints what there is to print.
  RegistryEntry port;
  const Status found = FindPortByWWN(services.registry, wwn, &port);
  if (found.code() == kRegistryNoDevice) SayNotFound(services, wwn);
  if (options.json) {
    // A port that is not there is an empty inventory, which scripts read like any other.
    PrintPortDocument(services.registry, port, services.out);
    return RunOutcome{};
  }
  if (options.metrics) {
    // And no metrics at all, which a collector reads as a port gone.
    PrintPortMetrics(services.registry, port, services.out);
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
  if (!options.settingsGiven) return PrintPort(wwn, options, services);

  // Checked before the registry is touched.
  if (services.users.EffectiveUserId() != 0) {
    services.out << kNotRootMessage << "\n";
    return RunOutcome::Exit(kExitNotRoot);
  }
  services.registry.PrepareToWrite();
  RegistryEntry port;
  if (Status found = FindPortByWWN(services.registry, wwn, &port); !found.ok()) {
    if (found.code() != kRegistryNoDevice) return NotApplied(services, found);
    SayNotFound(services, wwn);
    return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
  }
  if (options.dry_run) {
    // What the run would write, and nothing written; a refusal found before writing ends the
    // run as the real one would.
    std::string plan;
    const Status described = services.registry.DescribeWrite(port, options.settings, &plan);
    if (described.code() == kRegistryNoDevice)
      return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
    if (!described.ok()) return NotApplied(services, described);
    services.out << plan;
    return RunOutcome{};
  }
  const Status written = services.registry.WriteProperties(port, options.settings);
  // The port can go away between the lookup and the write.
  if (written.code() == kRegistryNoDevice)
    return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
  if (!written.ok()) return NotApplied(services, written);
  return RunOutcome{};
}

std::optional<std::uint64_t> PortHostNumber(DeviceRegistry& registry, std::string_view wanted) {
  RegistryEntry port;
  Dictionary record;
  if (!FindPortByWWN(registry, wanted, &port).ok() || !BuildPortInfo(registry, port, &record).ok())
    return std::nullopt;
  const PropertyValue* number = FindMember(record, kRecordScsiHostNumber);
  std::int64_t host = 0;
  if (number == nullptr || !number->AsNumber() || !number->AsNumber()->ToInt64(&host) || host < 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(host);
}

}  // namespace halvane
