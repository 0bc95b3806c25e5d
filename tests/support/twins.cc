#include "support/twins.h"

namespace halvane {

std::int32_t RecordingMessagePorts::GetSpecialPort(std::uint32_t which, PortName* port) {
  calls.push_back("GetSpecialPort " + std::to_string(which));
  if (special_port_status != 0) return special_port_status;
  *port = lookup_port;
  return 0;
}

std::int32_t RecordingMessagePorts::LookUpService(PortName lookup, std::string_view name,
                                                  PortName* port) {
  calls.push_back("LookUpService " + std::to_string(lookup) + " " + std::string(name));
  if (lookup_status != 0) return lookup_status;
  *port = service_port;
  return 0;
}

std::int32_t RecordingMessagePorts::SendMessage(const MessageHeader& message, std::uint32_t options,
                                                std::uint32_t send_size, std::uint32_t receive_size,
                                                PortName receive_port, std::uint32_t timeout,
                                                PortName notify_port) {
  calls.push_back("SendMessage " + std::to_string(options) + " " + std::to_string(send_size) + " " +
                  std::to_string(receive_size) + " " + std::to_string(receive_port) + " " +
                  std::to_string(timeout) + " " + std::to_string(notify_port));
  sent.push_back(message);
  return send_status;
}

int RecordingAttributeWriter::Write(const std::string& path, std::string_view bytes) {
  const int answer = writes.size() < answers.size() ? answers[writes.size()] : 0;
  writes.push_back({path, std::string(bytes)});
  return answer;
}

RegistryStatus FailingRegistry::Injected(Operation op, std::string_view class_name) const {
  for (const Failure& f : failures_) {
    if (f.op == op && (f.class_name.empty() || f.class_name == class_name)) return f.status;
  }
  return kRegistrySuccess;
}

// An entry this registry did not make is left to the base, which answers for it.
RegistryStatus FailingRegistry::InjectedFor(Operation op, const RegistryEntry& entry) const {
  const Node* node = NodeOf(entry);
  return node == nullptr ? kRegistrySuccess : Injected(op, node->class_name);
}

RegistryEntry FailingRegistry::MatchFirstService(std::string_view class_name) {
  if (Injected(Operation::kMatch, class_name) != kRegistrySuccess) return RegistryEntry();
  return MemoryRegistry::MatchFirstService(class_name);
}

RegistryStatus FailingRegistry::MatchServices(std::string_view class_name, RegistryIterator* out) {
  if (RegistryStatus s = Injected(Operation::kMatch, class_name); s != kRegistrySuccess) return s;
  return MemoryRegistry::MatchServices(class_name, out);
}

RegistryStatus FailingRegistry::ChildIterator(const RegistryEntry& entry, RegistryIterator* out) {
  if (RegistryStatus s = InjectedFor(Operation::kChildIterator, entry); s != kRegistrySuccess)
    return s;
  return MemoryRegistry::ChildIterator(entry, out);
}

RegistryStatus FailingRegistry::ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) {
  if (RegistryStatus s = InjectedFor(Operation::kReadAllProperties, entry); s != kRegistrySuccess)
    return s;
  return MemoryRegistry::ReadAllProperties(entry, out);
}

RegistryStatus FailingRegistry::WriteProperties(const RegistryEntry& entry,
                                                const Dictionary& settings) {
  if (RegistryStatus s = InjectedFor(Operation::kWriteProperties, entry); s != kRegistrySuccess)
    return s;
  return MemoryRegistry::WriteProperties(entry, settings);
}

}  // namespace halvane
