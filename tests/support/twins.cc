#include "support/twins.h"

#include <stdexcept>

#include "cli/front_end.h"
#include "registry/snapshot.h"
#include "support/values.h"

namespace halvane {

Dictionary testing::Properties(const std::string& json) {
  MemoryRegistry registry;
  if (Status parsed =
          ParseSnapshot(R"({"root": {"class": "X", "properties": )" + json + "}}", &registry);
      !parsed.ok())
    throw std::invalid_argument(parsed.message());
  return *registry.root()->properties.AsDictionary();
}

RunOutcome InProcessRun::Run(std::vector<std::string> args) {
  args.insert(args.begin(), "halvane");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Services services{registry, users, ports, out, err, rescans_to};
  return RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
}

Status RecordingAttributeWriter::Write(const std::string& folder, const char* name,
                                       std::string_view bytes) {
  const int answer = writes.size() < answers.size() ? answers[writes.size()] : 0;
  writes.push_back({folder + "/" + name, std::string(bytes)});
  return AttributeWriteStatus(answer);
}

StatusCode FailingRegistry::Injected(Operation op, std::string_view class_name) const {
  for (const Failure& f : failures_) {
    if (f.op == op && (f.class_name.empty() || f.class_name == class_name)) return f.status;
  }
  return 0;
}

// An entry this registry did not make is left to the base, which answers for it.
StatusCode FailingRegistry::InjectedFor(Operation op, const RegistryEntry& entry) const {
  const Node* node = NodeOf(entry);
  return node == nullptr ? 0 : Injected(op, node->class_name);
}

RegistryEntry FailingRegistry::MatchFirstService(std::string_view class_name) {
  if (Injected(Operation::kMatch, class_name) != 0) return RegistryEntry();
  return MemoryRegistry::MatchFirstService(class_name);
}

Status FailingRegistry::MatchServices(std::string_view class_name, RegistryIterator* out) {
  if (StatusCode s = Injected(Operation::kMatch, class_name); s != 0) return s;
  return MemoryRegistry::MatchServices(class_name, out);
}

Status FailingRegistry::ChildIterator(const RegistryEntry& entry, RegistryIterator* out) {
  if (StatusCode s = InjectedFor(Operation::kChildIterator, entry); s != 0) return s;
  return MemoryRegistry::ChildIterator(entry, out);
}

Status FailingRegistry::ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) {
  if (StatusCode s = InjectedFor(Operation::kReadAllProperties, entry); s != 0) return s;
  return MemoryRegistry::ReadAllProperties(entry, out);
}

Status FailingRegistry::WriteProperties(const RegistryEntry& entry, const Dictionary& settings) {
  if (StatusCode s = InjectedFor(Operation::kWriteProperties, entry); s != 0) return s;
  return MemoryRegistry::WriteProperties(entry, settings);
}

}  // namespace halvane
