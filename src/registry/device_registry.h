// The host's registry of driver service entries, as the tool uses it. Everything the tool knows
// about adapters comes through this interface, and settings go back through it; it is abstract
// so that a snapshot file, the live sysfs tree and tests can each stand behind it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "registry/property_value.h"
#include "registry/read_failures.h"

namespace halvane {

// A counted handle to one service entry. Copying retains it, destruction releases it; an empty
// handle stands for "none".
class RegistryEntry {
 public:
  // What an implementation keeps behind a handle; only the implementation that made a handle
  // looks inside it.
  struct Impl {
    virtual ~Impl() = default;
  };

  RegistryEntry() = default;
  explicit RegistryEntry(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  explicit operator bool() const { return impl_ != nullptr; }
  Impl* impl() const { return impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

// A counted handle yielding entries one at a time, each once, then empty handles. An iterator
// made without an implementation yields none.
class RegistryIterator {
 public:
  struct Impl {
    virtual ~Impl() = default;
    virtual RegistryEntry Next() = 0;
  };

  RegistryIterator() = default;
  explicit RegistryIterator(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  RegistryEntry Next() { return impl_ ? impl_->Next() : RegistryEntry(); }

 private:
  std::shared_ptr<Impl> impl_;
};

enum class SearchDirection { kAncestors, kDescendants };

// Where a snapshot's text goes as it is written, a piece at a time.
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  // Takes the next piece of the text; a failure ends the writing.
  virtual Status Write(std::string_view text) = 0;
  // What a fresh capture says of where, when and by what it was taken (Strings under "host",
  // "time", "version"), written at the document's head; nothing for a sink that says nothing.
  virtual const Dictionary* CaptureNote() const { return nullptr; }
};

// A sink that keeps the whole text in memory, for a snapshot small enough to be held.
class StringSink : public SnapshotSink {
 public:
  Status Write(std::string_view piece) override {
    text.append(piece);
    return Status::Ok();
  }
  std::string text;
};

// A class table: each class name and the class it derives from.
using ClassTable = std::map<std::string, std::string, std::less<>>;

// Whether class_name is wanted or derives from it in table. Bounded by the table's size, so a
// cycle in a table cannot hang a walk.
bool ClassDerivesFrom(const ClassTable& table, std::string_view class_name,
                      std::string_view wanted);

// What the driver of the port named port_name makes of settings, as DescribeWrite tells it: its
// write status when that is not 0, otherwise "port P receives {...}" and a line end.
StatusOr<std::string> DescribeReceipt(std::string_view port_name, StatusCode write_status,
                                      const Dictionary& settings);

// How a run uses its registry. A run that is going to write says so before anything is read: a
// backend whose writers must not interleave keeps the others out from the first read on.
enum class RegistryUse { kRead, kWrite };

class DeviceRegistry {
 public:
  DeviceRegistry() = default;
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;
  virtual ~DeviceRegistry() = default;

  // All services whose class is or derives from class_name, in registry order.
  virtual StatusOr<RegistryIterator> MatchServices(std::string_view class_name) = 0;

  // The first of them; an empty handle when there is none.
  virtual StatusOr<RegistryEntry> MatchFirstService(std::string_view class_name);

  // The direct children of entry, in order.
  virtual StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) = 0;

  // The parent of entry; an empty handle for the root.
  virtual RegistryEntry ParentOf(const RegistryEntry& entry) = 0;

  // The value under key in the entry's own table; nothing when the table has none, and a failure,
  // which is not the same, when the table cannot be read.
  virtual StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                              std::string_view key) = 0;

  // Whether the entry's class is class_name or derives from it.
  virtual bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) = 0;

  // Hands settings to the driver behind entry and answers the driver's status, with why it
  // refused them; kNoDevice when the device is gone.
  virtual Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) = 0;

  // What WriteProperties would do with settings, as lines of text, with nothing written; refuses
  // as WriteProperties would before it writes anything. kUnsupported for a registry that cannot
  // say. port_name is how the administrator knows the entry, for a registry that has no name of
  // its own for it (a live host names the host and its driver attributes instead).
  virtual StatusOr<std::string> DescribeWrite(const RegistryEntry& entry,
                                              const Dictionary& settings,
                                              std::string_view port_name);

  // The whole registry written down as a snapshot document, which a later run can read in its
  // place, handed to sink a piece at a time as the registry is walked, so that the document is
  // never held whole; kUnsupported, before anything is handed over, for a registry that cannot
  // be written down. A failure of the sink ends the walk and is answered.
  virtual Status StreamSnapshot(SnapshotSink& sink);
  // The same document, whole.
  StatusOr<std::string> WriteSnapshot();

  // For a run that found no controller port: where ports were looked for, and what finding none
  // there means, in words. An empty listing looks the same whatever its cause, and an
  // administrator must be able to tell a host without a Fibre Channel driver from a broken tool.
  virtual std::string WhyNoPorts();

  // The value under key, nothing when the entry has none, or why it could not be read: the
  // failure ReadProperty answers, or the one the entry's table recorded for key. Every failed
  // read this meets (those recorded inside the value, a Dictionary, too) is noted in FailedReads.
  StatusOr<std::optional<PropertyValue>> Read(const RegistryEntry& entry, std::string_view key);

  // What the reports show of a value: Read's value, or nothing, since a report leaves out what it
  // cannot read and goes on; the failure is noted all the same, for the run to tell.

  // Told before the first walk of a run that walks the registry more than once (a verdict and a
  // listing from one reading of the host): a registry that reads the host as it is walked keeps
  // what it has read, so that the second walk reads nothing again and both tell the same values.
  // The default keeps nothing, having read everything already.
  virtual void KeepWhatIsRead() {}
  // Told before the first read of a run whose report shows no port's counters (the text
  // listings): a registry that reads each counter from a file of its own reads none of them, and
  // the ports' records have no statistics. The default has them already.
  virtual void LeaveOutCounters() {}
  // Where, when and by what a registry read from a capture was captured, as the capture says;
  // nothing for the live host or a capture that does not say.
  virtual const Dictionary* Captured() const { return nullptr; }

  // What the reports show of a value: the value under key, or nothing when the entry has none or
  // its table cannot be read, since a report leaves out what it cannot read and goes on.
  std::optional<PropertyValue> ValueOf(const RegistryEntry& entry, std::string_view key);

  // The reads of the host that failed so far in this run, each once: what the outputs report
  // (standard error, the document's errors, the metrics' error gauge, the check's findings).
  const ReadFailures& FailedReads() const { return failed_reads_; }

  // The entry's own value under key if it has one; otherwise the first one found walking its
  // children (kDescendants, depth first, in child order) or its parents (kAncestors, nearest
  // first); otherwise nothing. Made of the operations above, as ValueOf reads, for every registry:
  // a table or a child list that cannot be had is passed over.
  std::optional<PropertyValue> SearchProperty(const RegistryEntry& entry, std::string_view key,
                                              SearchDirection direction);

 protected:
  // For a backend: a read that failed on the way of a walk (a folder whose entries could not be
  // listed), which no property stands for.
  void NoteFailedRead(const Status& failure) {
    if (!failure.ok()) failed_reads_.Add(ReadFailure::Of(failure));
  }
  // Those a table recorded for its children (kChildrenFailedKey), as a snapshot carries them.
  void NoteChildrenFailures(const std::optional<PropertyValue>& recorded) {
    if (!recorded) return;
    for (ReadFailure& failure : RecordedFailures(*recorded, kChildrenFailedKey))
      failed_reads_.Add(std::move(failure));
  }

 private:
  ReadFailures failed_reads_;
};

}  // namespace halvane
