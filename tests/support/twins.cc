#include "support/twins.h"

#include <stdexcept>

#include "registry/snapshot.h"
#include "support/values.h"

namespace halvane {

Dictionary testing::Properties(const std::string& json) {
  MemoryRegistry registry;
  std::string error;
  if (!ParseSnapshot(R"({"root": {"class": "X", "properties": )" + json + "}}", &registry, &error))
    throw std::invalid_argument(error);
  return *registry.root()->properties.AsDictionary();
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
