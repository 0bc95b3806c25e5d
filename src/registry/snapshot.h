// The registry snapshot file: a registry written down as JSON, which stands in for the host's
// registry when HALVANE_REGISTRY names one. Scripts and test suites outside the project write
// these files, so the format is checked strictly and every fault is named.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"

namespace halvane {

// An entry as a snapshot writes it.
struct SnapshotEntry {
  std::string_view class_name;
  const Dictionary& properties;
  StatusCode write_status = 0;
  const std::vector<Dictionary>* received_settings = nullptr;  // nullptr: it keeps none
};

// Writes the snapshot layout as a registry is walked, and hands it to a sink 64 KiB at a time: a
// registry of any size is written in the memory of one entry. The walk gives each entry, depth
// first, and leaves it once its children are written.
class SnapshotWriter {
 public:
  explicit SnapshotWriter(SnapshotSink& sink) : sink_(sink) {}
  // The document up to its first entry; has_root says whether one follows. A capture's note, when
  // given and not empty, is its first member, "captured".
  void Begin(const ClassTable& classes, bool has_root, const Dictionary* captured = nullptr);
  // An entry at depth (the root at 0), the index-th child of its parent; when has_children, its
  // children follow.
  void Enter(const SnapshotEntry& entry, std::size_t depth, std::size_t index, bool has_children);
  void Leave(std::size_t depth);
  // The end of the document, and what is left handed over; the first failure of the sink.
  Status Finish();
  // Whether the sink has refused a piece, when the walk may as well stop.
  bool failed() const { return !status_.ok(); }

 private:
  void Indent(std::size_t level) { out_.append(2 * level, ' '); }
  void String(std::string_view text);
  void Members(const Dictionary& members, std::size_t level);
  void Value(const PropertyValue& value, std::size_t level);
  // Hands the text over once there is enough of it, or all of it.
  void HandOver(bool all);

  SnapshotSink& sink_;
  std::string out_;
  Status status_;
  bool whole_ = false;              // the document is written to its end already ("{}")
  std::vector<bool> has_children_;  // of the entries open, by depth
};

// A registry loaded from a snapshot file, whose driver records the settings written to an entry
// and saves the file. A save that fails undoes the record and answers kIoError with why. The file
// is parsed as it is read, so its text is never held whole beside its values, nor is the text of a
// save. A refusal says "<path>: <reason>".
//
// Saves never lose another writer's change, never land outside the folder that was read and
// never leave the file half written: a writer holds an exclusive lock on the file it read from
// before reading it (RegistryUse::kWrite) or before saving (kRead) until the process ends; the new
// text is written to a temporary file in the same folder (reached through the folder's
// descriptor kept from the load), flushed to disk and renamed over the original, keeping its
// permissions and owner. When the path no longer names the file that was read, unchanged, the
// save is refused. Readers take no lock and always see a whole file.
StatusOr<std::unique_ptr<DeviceRegistry>> LoadSnapshotFile(const std::string& path,
                                                           RegistryUse use);

}  // namespace halvane
