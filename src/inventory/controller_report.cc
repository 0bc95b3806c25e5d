#include "inventory/controller_report.h"

#include <cstdio>

#include "inventory/port_info.h"

namespace halvane {
namespace {

// Texts are converted in an area of 256 bytes, terminator included.
constexpr std::size_t kTextArea = 256;

void PrintText(std::ostream& out, const Dictionary& record, std::string_view key,
               std::string_view label, std::string_view ending) {
  const PropertyValue* value = FindMember(record, key);
  if (value == nullptr) return;
  if (auto text = TextForLine(*value, kTextArea)) out << label << Escaped{*text} << ending;
}

}  // namespace

Status PrintPortBlock(DeviceRegistry& registry, const RegistryEntry& entry, std::ostream& out) {
  const StatusOr<Dictionary> built = BuildPortInfo(registry, entry);
  if (!built.ok()) return built.status();
  const Dictionary& record = *built;
  out << "    PortWWN " << PortNameText(record) << "\n";
  PrintText(out, record, kRecordPortStatus, "        Port Status: ", "\n");
  const PropertyValue* alpa = FindMember(record, kRecordHardLoopId);
  if (const auto value = alpa ? alpa->AsInt32() : std::nullopt) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(*value));
    out << "              AL_PA: 0x" << text << "\n";
  }
  PrintText(out, record, kRecordSpeed, "              Speed: ", "\n");
  PrintText(out, record, kRecordTopology, "           Topology: ", "\n");
  PrintText(out, record, kRecordSlot, "               Slot: ", "\n");
  const PropertyValue* port = FindMember(record, kRecordPortNumber);
  if (const auto number = port ? port->AsInt32() : std::nullopt)
    out << "               Port: " << *number << "\n";
  PrintText(out, record, kRecordCableType, "         Cable Type: ", "\n\n");
  return Status::Ok();
}

Status PrintControllerSection(DeviceRegistry& registry, std::ostream& out) {
  StatusOr<RegistryIterator> ports = DiscoverControllers(registry);
  if (!ports.ok()) return ports.status();
  Status status;
  for (RegistryEntry port = ports->Next(); port; port = ports->Next())
    status = PrintPortBlock(registry, port, out);
  return status;
}

}  // namespace halvane
