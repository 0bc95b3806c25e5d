#include "registry/device_registry.h"

#include "base/text.h"
#include "base/tree_walk.h"

namespace halvane {
namespace {

// A Dictionary of texts and integers (what settings are made of) as one line of JSON:
// {"Speed": "Automatic", "HardLoopID": 30}, in key order; other values show as null.
std::string JsonLine(const Dictionary& members) {
  std::string line = "{";
  for (const auto& [key, value] : members) {
    if (line.size() > 1) line += ", ";
    AppendJsonString(line, key);
    line += ": ";
    if (const std::string* text = value.AsString()) {
      AppendJsonString(line, *text);
    } else if (const auto number = value.AsInt64()) {
      line += std::to_string(*number);
    } else {
      line += "null";
    }
  }
  return line + "}";
}

}  // namespace

bool ClassDerivesFrom(const ClassTable& table, std::string_view class_name,
                      std::string_view wanted) {
  std::string_view current = class_name;
  for (std::size_t steps = 0; steps <= table.size(); ++steps) {
    if (current == wanted) return true;
    auto it = table.find(current);
    if (it == table.end()) return false;
    current = it->second;
  }
  return false;
}

StatusOr<std::string> DescribeReceipt(std::string_view port_name, StatusCode write_status,
                                      const Dictionary& settings) {
  if (write_status != 0) return Status::Answered(write_status);
  return "port " + std::string(port_name) + " receives " + JsonLine(settings) + "\n";
}

StatusOr<RegistryEntry> DeviceRegistry::MatchFirstService(std::string_view class_name) {
  StatusOr<RegistryIterator> matches = MatchServices(class_name);
  if (!matches.ok()) return matches.status();
  return matches->Next();
}

StatusOr<std::optional<PropertyValue>> DeviceRegistry::Read(const RegistryEntry& entry,
                                                            std::string_view key) {
  StatusOr<std::optional<PropertyValue>> value = ReadProperty(entry, key);
  if (!value.ok()) {
    // "Not ours" and the like are no read of the host; only a failure naming a path is noted.
    if (!value.status().path().empty()) NoteFailedRead(value.status());
    return value;
  }
  std::vector<ReadFailure> failed;
  if (StatusOr<std::optional<PropertyValue>> recorded = ReadProperty(entry, kReadFailuresKey);
      recorded.ok() && *recorded) {
    failed = RecordedFailures(**recorded, key);
  }
  if (*value) {
    if (const Dictionary* inner = (*value)->AsDictionary()) {
      for (ReadFailure& failure : RecordedFailures(*inner, {}))
        failed.push_back(std::move(failure));
    }
  }
  for (const ReadFailure& failure : failed) failed_reads_.Add(failure);
  if (!*value && !failed.empty()) return failed.front().AsStatus();
  return value;
}

std::optional<PropertyValue> DeviceRegistry::ValueOf(const RegistryEntry& entry,
                                                     std::string_view key) {
  StatusOr<std::optional<PropertyValue>> value = Read(entry, key);
  return value.ok() ? std::move(*value) : std::nullopt;
}

std::optional<PropertyValue> DeviceRegistry::SearchProperty(const RegistryEntry& entry,
                                                            std::string_view key,
                                                            SearchDirection direction) {
  std::optional<PropertyValue> found = ValueOf(entry, key);
  if (found) return found;
  if (direction == SearchDirection::kAncestors) {
    for (RegistryEntry parent = ParentOf(entry); parent && !found; parent = ParentOf(parent))
      found = ValueOf(parent, key);
    return found;
  }
  // One iterator per open level, so that a live registry holds only the entries of the levels
  // the walk is on.
  VisitTree(
      entry,
      [&](const RegistryEntry& parent) {
        StatusOr<RegistryIterator> children = ChildIterator(parent);
        return children.ok() ? std::move(*children) : RegistryIterator();
      },
      [&](const RegistryEntry& next, std::size_t depth, std::size_t) {
        if (depth > 0) found = ValueOf(next, key);
        return found ? Visit::kStop : Visit::kChildren;
      },
      NoLeave());
  return found;
}

StatusOr<std::string> DeviceRegistry::DescribeWrite(const RegistryEntry&, const Dictionary&,
                                                    std::string_view) {
  return Status::Error(kUnsupported, "this registry cannot describe a write");
}

std::string DeviceRegistry::WhyNoPorts() { return "the registry holds no controller port"; }

Status DeviceRegistry::StreamSnapshot(SnapshotSink&) {
  return Status::Error(kUnsupported, "this registry cannot be written down as a snapshot");
}

StatusOr<std::string> DeviceRegistry::WriteSnapshot() {
  StringSink whole;
  if (Status written = StreamSnapshot(whole); !written.ok()) return written;
  return std::move(whole.text);
}

}  // namespace halvane
