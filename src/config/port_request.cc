#include "config/port_request.h"

#include "config/port_print.h"
#include "inventory/port_info.h"

namespace halvane {
namespace {

constexpr char kNotRootMessage[] = "You must be running as root to modify settings...";
constexpr char kPortNotFoundMessage[] = "Specified Port World Wide Name not found.";

// A change that did not happen must never look like one that did: the administrator is told,
// and the exit status says so.
RunOutcome NotApplied(Services& services, const Status& status) {
  services.out << "Could not apply settings to the specified port ("
               << Status::CodeText(status.code()) << ").\n";
  // Standard output says that the settings were not applied; this says why, when there is more
  // to say than the status.
  if (!status.SaysOnlyItsCode()) TellFailure(services.err, status.message());
  return RunOutcome::Exit(kExitFailure);
}

// The name of the port found, as the listing shows it (the name typed matched it whatever its
// letter case).
std::string PortNameOf(DeviceRegistry& registry, const RegistryEntry& port,
                       const std::string& typed) {
  const StatusOr<Dictionary> record = BuildPortInfo(registry, port);
  const PropertyValue* name = record.ok() ? FindMember(*record, kRecordPortName) : nullptr;
  return name && name->AsString() ? *name->AsString() : typed;
}

RunOutcome PortNotFound(Services& services) {
  return ExitWithUsage(services.out, kExitPortNotFound, kPortNotFoundMessage, "");
}

}  // namespace

RunOutcome HandlePortRequest(const ParsedOptions& options, Services& services) {
  const std::string& wwn = *options.portWWN;
  if (!options.settingsGiven) {
    const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
    if (!registry.ok()) return RunOutcome::Failed(registry.status());
    return PrintPort(wwn, options, services, **registry);
  }

  // Checked before the registry is touched. A dry run writes nothing, and reads only what any
  // user may read, so anyone may ask what settings would do.
  if (services.users.EffectiveUserId() != 0 && !options.dry_run) {
    services.out << kNotRootMessage << "\n";
    return RunOutcome::Exit(kExitNotRoot);
  }
  const StatusOr<DeviceRegistry*> opened =
      services.registry.Open(options.dry_run ? RegistryUse::kRead : RegistryUse::kWrite);
  if (!opened.ok()) return RunOutcome::Failed(opened.status());
  DeviceRegistry& registry = **opened;
  const StatusOr<RegistryEntry> port = FindPortByWWN(registry, wwn);
  if (!port.ok()) {
    if (port.status().code() != kNoDevice) return NotApplied(services, port.status());
    SayNotFound(services, registry, wwn);
    return PortNotFound(services);
  }
  if (options.dry_run) {
    // What the run would write, and nothing written; a refusal found before writing ends the
    // run as the real one would.
    const StatusOr<std::string> plan =
        registry.DescribeWrite(*port, options.settings, PortNameOf(registry, *port, wwn));
    if (plan.status().code() == kNoDevice) return PortNotFound(services);
    if (!plan.ok()) return NotApplied(services, plan.status());
    services.out << *plan;
    return RunOutcome{};
  }
  const Status written = registry.WriteProperties(*port, options.settings);
  // The port can go away between the lookup and the write.
  if (written.code() == kNoDevice) return PortNotFound(services);
  if (!written.ok()) return NotApplied(services, written);
  return RunOutcome{};
}

}  // namespace halvane
