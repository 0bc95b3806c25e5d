#include "registry/read_failures.h"

#include <cerrno>
#include <cstring>

namespace halvane {

ReadFailure ReadFailure::Of(const Status& status) {
  return ReadFailure{status.path(), std::string(status.reason()), ErrnoName(status.error_number())};
}

Status ReadFailure::AsStatus() const {
  const StatusCode code = error == "EACCES" || error == "EPERM" ? kNotPrivileged : kIoError;
  return Status::Error(code, reason).OfPath(path);
}

std::string ErrnoName(int error) {
  if (error == 0) return {};
  const char* name = strerrorname_np(error);
  return name ? name : "";
}

void RecordReadFailure(Dictionary* table, std::string_view key, const Status& status) {
  if (!status.ok()) RecordReadFailure(table, key, ReadFailure::Of(status));
}

void RecordReadFailure(Dictionary* table, std::string_view key, const ReadFailure& failure) {
  const PropertyValue* recorded = FindMember(*table, kReadFailuresKey);
  Array failures = recorded && recorded->AsArray() ? *recorded->AsArray() : Array();
  for (const PropertyValue& item : failures) {
    const Dictionary* known = item.AsDictionary();
    const PropertyValue* path = known ? FindMember(*known, kFailedPathKey) : nullptr;
    if (path && path->AsString() && *path->AsString() == failure.path) return;
  }
  Dictionary record{{kFailedKeyKey, PropertyValue::String(std::string(key))},
                    {kFailedPathKey, PropertyValue::String(failure.path)},
                    {kFailedReasonKey, PropertyValue::String(failure.reason)}};
  if (!failure.error.empty())
    record.insert_or_assign(kFailedErrnoKey, PropertyValue::String(failure.error));
  failures.push_back(PropertyValue::OfDictionary(std::move(record)));
  table->insert_or_assign(kReadFailuresKey, PropertyValue::OfArray(std::move(failures)));
}

std::vector<ReadFailure> RecordedFailures(const Dictionary& table, std::string_view key) {
  const PropertyValue* recorded = FindMember(table, kReadFailuresKey);
  return recorded ? RecordedFailures(*recorded, key) : std::vector<ReadFailure>();
}

std::vector<ReadFailure> RecordedFailures(const PropertyValue& recorded, std::string_view key) {
  std::vector<ReadFailure> found;
  const Array* items = recorded.AsArray();
  if (items == nullptr) return found;
  const auto text = [](const Dictionary& record, std::string_view member) {
    const PropertyValue* value = FindMember(record, member);
    const std::string* s = value ? value->AsString() : nullptr;
    return s ? *s : std::string();
  };
  for (const PropertyValue& item : *items) {
    const Dictionary* record = item.AsDictionary();
    if (record == nullptr || (!key.empty() && text(*record, kFailedKeyKey) != key)) continue;
    // A record without a path names nothing that could be read again; it is still a failure.
    found.push_back(ReadFailure{text(*record, kFailedPathKey), text(*record, kFailedReasonKey),
                                text(*record, kFailedErrnoKey)});
  }
  return found;
}

void ReadFailures::Add(ReadFailure failure) {
  if (!paths_.insert(failure.path).second) return;
  failures_.push_back(std::move(failure));
}

}  // namespace halvane
