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
  std::string holder;
  if (auto text = TextForLine(*value, kTextArea))
    out << label << EscapeControls(*text, &holder) << ending;
}

std::optional<std::int32_t> ReadInt32(const Dictionary& record, std::string_view key) {
  const PropertyValue* value = FindMember(record, key);
  const Number* number = value ? value->AsNumber() : nullptr;
  std::int32_t v = 0;
  if (number == nullptr || !number->ToInt32(&v)) return std::nullopt;
  return v;
}

}  // namespace

Status PrintPortBlock(DeviceRegistry& registry, const RegistryEntry& entry, std::ostream& out) {
  Dictionary record;
  if (Status s = BuildPortInfo(registry, entry, &record); !s.ok()) return s;
  PrintText(out, record, kRecordPortName, "    PortWWN ", "\n");
  PrintText(out, record, kRecordPortStatus, "        Port Status: ", "\n");
  if (auto alpa = ReadInt32(record, kRecordHardLoopId)) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(*alpa));
    out << "              AL_PA: 0x" << text << "\n";
  }
  PrintText(out, record, kRecordSpeed, "              Speed: ", "\n");
  PrintText(out, record, kRecordTopology, "           Topology: ", "\n");
  PrintText(out, record, kRecordSlot, "               Slot: ", "\n");
  if (auto port = ReadInt32(record, kRecordPortNumber)) {
    out << "               Port: " << *port << "\n";
  }
  PrintText(out, record, kRecordCableType, "         Cable Type: ", "\n\n");
  return Status::Ok();
}

Status PrintControllerSection(DeviceRegistry& registry, std::ostream& out) {
  RegistryIterator ports;
  if (Status s = DiscoverControllers(registry, &ports); !s.ok()) return s;
  Status status;
  for (RegistryEntry port = registry.NextEntry(ports); port; port = registry.NextEntry(ports)) {
    status = PrintPortBlock(registry, port, out);
  }
  return status;
}

}  // namespace halvane
