// Reads of the host that failed. A value the kernel did not publish is absent, and a report may
// leave its line out; a value that could not be read (permission denied, an I/O error, a file
// that is not what an attribute is) must not pass for absent: the monitoring system, the script
// and the administrator each trust that what is not shown is not there. So a table that could not
// read a value records why in its own members, a snapshot of it carries the record, and the
// registry notes every failure a run meets, for the output to say once, where it is made.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/status.h"
#include "registry/property_value.h"

namespace halvane {

// The member of a table that records its failed reads: an Array of Dictionaries of
// kFailedKeyKey (the table's key whose value could not be read), kFailedPathKey,
// kFailedReasonKey and kFailedErrnoKey (the errno's name; absent when the system gave none).
inline constexpr char kReadFailuresKey[] = "Read Failures";
inline constexpr char kFailedKeyKey[] = "Key";
inline constexpr char kFailedPathKey[] = "Path";
inline constexpr char kFailedReasonKey[] = "Reason";
inline constexpr char kFailedErrnoKey[] = "Errno";
// The kFailedKeyKey of a failure to list an entry's children (a folder of the host that could not
// be listed): it stands for no value of the table, and a registry notes it when the entry's
// children are walked.
inline constexpr char kChildrenFailedKey[] = "Children";

// One read that failed: what, why in the system's words, and the errno's name ("EACCES"), empty
// when the failure is none of the system's (a file that is not a regular file).
struct ReadFailure {
  std::string path;
  std::string reason;
  std::string error;

  // The failure a status made by Status::OfPath stands for.
  static ReadFailure Of(const Status& status);
  // The status that stands for it, as a read answers it.
  Status AsStatus() const;
};

// "EACCES" for EACCES; empty for 0 or an errno without a name.
std::string ErrnoName(int error);

// Records in table that the value of key could not be read, as status (made by Status::OfPath)
// says, or as failure says (one recorded elsewhere first); a failure of a path already recorded
// is not recorded again.
void RecordReadFailure(Dictionary* table, std::string_view key, const Status& status);
void RecordReadFailure(Dictionary* table, std::string_view key, const ReadFailure& failure);

// The failures table records for key; with an empty key, every one it records.
std::vector<ReadFailure> RecordedFailures(const Dictionary& table, std::string_view key);
// The same of the member itself (what a table holds under kReadFailuresKey).
std::vector<ReadFailure> RecordedFailures(const PropertyValue& recorded, std::string_view key);

// The failures of one run, each path once, in the order they were met.
class ReadFailures {
 public:
  void Add(ReadFailure failure);
  const std::vector<ReadFailure>& all() const { return failures_; }
  bool empty() const { return failures_.empty(); }
  std::size_t size() const { return failures_.size(); }

 private:
  std::vector<ReadFailure> failures_;
  std::unordered_set<std::string> paths_;
};

}  // namespace halvane
