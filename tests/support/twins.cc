#include "support/twins.h"

#include <stdexcept>

#include "base/file_io.h"

#include "cli/front_end.h"
#include "support/memory_registry.h"
#include "support/values.h"

namespace halvane {

Dictionary testing::Properties(const std::string& json) {
  const auto registry = ParseSnapshot(R"({"root": {"class": "X", "properties": )" + json + "}}");
  if (!registry.ok()) throw std::invalid_argument(registry.status().message());
  return *(*registry)->root()->properties.AsDictionary();
}

const PropertyValue& testing::Member(const Dictionary& dict, std::string_view key) {
  const PropertyValue* value = FindMember(dict, key);
  if (value == nullptr) throw std::out_of_range(std::string(key));
  return *value;
}

RunOutcome InProcessRun::Run(std::vector<std::string> args) {
  args.insert(args.begin(), "halvane");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Services services{registry, users, ports, out, err, rescan};
  return RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
}

Status RecordingAttributeWriter::Write(const std::string& folder, const char* name,
                                       std::string_view bytes) {
  const int answer = writes.size() < answers.size() ? answers[writes.size()] : 0;
  writes.push_back({folder + "/" + name, std::string(bytes)});
  return answer == 0 ? Status::Ok() : ErrnoStatus(answer);
}

Status FailingRegistry::Injected(Operation op, std::string_view class_name) const {
  for (const Failure& f : failures_) {
    if (f.op == op && (f.class_name.empty() || f.class_name == class_name))
      return Status::Error(f.status, "injected");
  }
  return Status::Ok();
}

// An entry this registry did not make is left to the base, which answers for it.
Status FailingRegistry::InjectedFor(Operation op, const RegistryEntry& entry) const {
  const Node* node = NodeOf(entry);
  return node == nullptr ? Status::Ok() : Injected(op, node->class_name);
}

StatusOr<RegistryIterator> FailingRegistry::MatchServices(std::string_view class_name) {
  if (Status s = Injected(Operation::kMatch, class_name); !s.ok()) return s;
  return MemoryRegistry::MatchServices(class_name);
}

StatusOr<RegistryIterator> FailingRegistry::ChildIterator(const RegistryEntry& entry) {
  if (Status s = InjectedFor(Operation::kChildIterator, entry); !s.ok()) return s;
  return MemoryRegistry::ChildIterator(entry);
}

StatusOr<std::optional<PropertyValue>> FailingRegistry::ReadProperty(const RegistryEntry& entry,
                                                                     std::string_view key) {
  if (Status s = InjectedFor(Operation::kReadProperty, entry); !s.ok()) return s;
  return MemoryRegistry::ReadProperty(entry, key);
}

}  // namespace halvane
