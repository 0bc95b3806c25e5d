#include "listing/full_report.h"

#include "inventory/controller_report.h"
#include "registry/vocabulary.h"

namespace halvane {
namespace {

// The node WWN line converts into 256 bytes, every line of a logical unit block into 255; the
// terminator takes one byte of each.
constexpr std::size_t kNodeWwnArea = 256;
constexpr std::size_t kLunTextArea = 255;

void PrintLunText(std::ostream& out, const std::optional<PropertyValue>& value,
                  std::string_view label) {
  if (!value) return;
  if (auto text = TextForLine(*value, kLunTextArea)) out << label << Escaped{*text} << "\n";
}

// A namespace of an NVMe controller, in a logical unit's shape.
void PrintNamespaceBlock(const TargetView& controller, const LunView& unit, std::ostream& out) {
  const std::optional<PropertyValue> nsid = unit.Own(kNamespaceIdKey);
  if (const auto number = nsid ? nsid->AsInt64() : std::nullopt)
    out << "NVMe Namespace @ " << *number << "\n\n";

  // The labels are the logical unit's where they mean the same.
  PrintLunText(out, controller.Own(kFirmwareVersionKey), "                     Revision:    ");
  if (auto id = unit.UniqueId()) out << "       Logical Unit Unique ID:    " << *id << "\n";
  PrintLunText(out, unit.Own(kAnaStateKey), "    Logical Unit Access State:    ");
  PrintLunText(out, unit.MapName(), "                    LUN Alias:    ");
  PrintLunText(out, controller.Own(kModelKey), "                        Model:    ");
  out << "\n";
}

void PrintControllerTargets(DeviceRegistry& registry, const RegistryEntry& controller,
                            std::ostream& out) {
  // A controller without children prints nothing, not even its node name.
  const auto children_found = [&] {
    if (auto text = ControllerNodeName(registry, controller); text && text->size() < kNodeWwnArea)
      out << "NodeWWN " << *text << "\n\n";
  };
  ForEachTarget(registry, controller, children_found, [&](const TargetView& target) {
    bool first = true;
    ForEachLun(registry, target.target, [&](const LunView& unit) {
      if (first) out << "LUNs:\n\n";
      first = false;
      PrintLunBlock(unit, out);
    });
  });
  // Then the NVMe controllers reached through the port, their namespaces as a target's LUNs.
  ForEachNvmeController(registry, controller, [&](const TargetView& nvme) {
    bool first = true;
    ForEachLun(registry, nvme.target, [&](const LunView& unit) {
      if (first) out << "Namespaces:\n\n";
      first = false;
      PrintNamespaceBlock(nvme, unit, out);
    });
  });
}

}  // namespace

void PrintLunBlock(const LunView& unit, std::ostream& out) {
  if (auto address = unit.Address()) out << "SCSI Logical Unit @ " << *address << "\n\n";

  PrintLunText(out, unit.Search(kProductRevisionLevelKey), "                     Revision:    ");
  if (auto id = unit.UniqueId()) out << "       Logical Unit Unique ID:    " << *id << "\n";
  PrintLunText(out, unit.Search(kAluaSupportKey), "                 ALUA Support:    ");
  PrintLunText(out, unit.Search(kAccessStateKey), "    Logical Unit Access State:    ");
  PrintLunText(out, unit.Search(kLoadBalancingAlgorithmKey), "     Load Balancing Algorithm:    ");
  for (const PropertyValue& alias : unit.Aliases())
    PrintLunText(out, alias, "                    LUN Alias:    ");
  PrintLunText(out, unit.MapName(), "                    LUN Alias:    ");
  PrintLunText(out, unit.Search(kProductIdentificationKey), "                        Model:    ");
  PrintLunText(out, unit.Search(kVendorIdentificationKey), "                       Vendor:    ");
  out << "\n";
}

void PrintTargetSection(DeviceRegistry& registry, std::ostream& out) {
  StatusOr<RegistryIterator> controllers = registry.MatchServices(kScsiControllerClass);
  if (!controllers.ok()) return;
  for (RegistryEntry controller = controllers->Next(); controller;
       controller = controllers->Next()) {
    if (HasFibreChannelInterconnect(registry, controller))
      PrintControllerTargets(registry, controller, out);
  }
}

void PrintFullReport(DeviceRegistry& registry, std::ostream& out) {
  out << "\nControllers\n\n";
  if (!PrintControllerSection(registry, out).ok()) return;
  out << "Targets\n\n";
  PrintTargetSection(registry, out);
  out << "\n\n";
}

}  // namespace halvane
