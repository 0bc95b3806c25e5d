// In-memory twins of the host services, for tests: each records what the code under test asked
// of it and answers as the test configured.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/run.h"

#include "host/host_rescan.h"
#include "host/message_ports.h"
#include "host/user_identity.h"
#include "registry/snapshot_parser.h"
#include "registry/vocabulary.h"
#include "support/run_binary.h"
#include "sysfs/attribute_writer.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// The tree's own reader, keeping every folder listed and every path looked at or read, in order;
// except that reading the attribute named failing, in any folder, fails with error, as the kernel
// answers a read it refuses (EACCES from an LSM, EIO from a driver's show function).
class WatchingReader : public SysfsReader {
 public:
  explicit WatchingReader(const std::string& root, std::string failing = {}, int error = 0)
      : real_(MakeTreeReader(root)), failing_(std::move(failing)), error_(error) {}
  std::vector<std::string> paths;
  // Whether a look went to a path that holds text.
  bool Looked(const std::string& text) const {
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return path.find(text) != std::string::npos;
    });
  }

  Listing List(const std::string& folder) override { return Saw(folder).List(folder); }
  Listing ListFolders(const std::string& folder) override {
    return Saw(folder).ListFolders(folder);
  }
  Reading Read(const std::string& folder, const char* name, std::size_t limit) override {
    if (name == failing_) return ErrnoStatus(error_).OfPath(folder + "/" + name);
    return Saw(folder + "/" + name).Read(folder, name, limit);
  }
  Reading FirstNameIn(const std::string& folder, const char* name) override {
    return Saw(folder + "/" + name).FirstNameIn(folder, name);
  }
  Reading Resolve(const std::string& path) override { return Saw(path).Resolve(path); }
  bool IsFolder(const std::string& path) override { return Saw(path).IsFolder(path); }
  bool Exists(const std::string& path) override { return Saw(path).Exists(path); }

 private:
  SysfsReader& Saw(const std::string& path) {
    paths.push_back(path);
    return *real_;
  }
  std::unique_ptr<SysfsReader> real_;
  std::string failing_;
  int error_;
};

// Every call succeeds.
struct AnsweringMessagePorts : MessagePorts {
  StatusOr<PortName> LookupPort() override { return 0x103; }
  StatusOr<PortName> LookUpService(PortName, std::string_view) override { return 0x207; }
  Status SendMessage(const MessageHeader&) override { return Status::Ok(); }
};

struct FixedUserIdentity : UserIdentity {
  explicit FixedUserIdentity(std::uint32_t id) : uid(id) {}
  std::uint32_t EffectiveUserId() const override { return uid; }
  std::uint32_t uid;
};

// Records the rescans asked for: the host of each, or nothing for every host.
struct RecordingHostRescan : HostRescan {
  std::vector<std::optional<std::uint64_t>> asked;
  std::vector<Status> RescanFibreChannelHosts(std::optional<std::uint64_t> host) override {
    asked.push_back(host);
    return {};
  }
  // A dry run's: "host3: scan" for a host, "every host: scan" for all.
  Plan DescribeRescan(std::optional<std::uint64_t> host) override {
    return Plan{(host ? "host" + std::to_string(*host) : std::string("every host")) + ": scan\n",
                {}};
  }
};

// Records every write asked for, failed ones included, and answers each in turn from answers (an
// errno, as ErrnoStatus says it; 0 once they run out), as the real writer would; and the folders
// held.
struct RecordingAttributeWriter : AttributeWriter {
  struct Written {
    std::string path;
    std::string bytes;
  };
  std::vector<Written> writes;
  std::vector<int> answers;
  std::vector<std::string> held;
  Status Write(const std::string& folder, const char* name, std::string_view bytes) override;
  Status Hold(const std::string& folder) override {
    held.push_back(folder);
    return Status::Ok();
  }
};

// A run of the front end in-process, its host services twins: what it printed and the rescans it
// asked for.
struct InProcessRun {
  explicit InProcessRun(DeviceRegistry& r, std::uint32_t uid = 0) : registry(r), users(uid) {}
  // args without the program's name.
  RunOutcome Run(std::vector<std::string> args);

  LazyRegistry registry;
  FixedUserIdentity users;
  AnsweringMessagePorts ports;
  RecordingHostRescan rescan;
  std::ostringstream out;
  std::ostringstream err;
};

namespace testing {

// Snapshot text: a root of class "Root" over entries (snapshot JSON, apart by commas), with the
// class table classes.
std::string HostText(const std::string& entries, const std::string& classes = "{}");
// A snapshot entry of a port of class cls with these "Controller Characteristics".
std::string PortEntry(const std::string& characteristics,
                      const std::string& cls = kUserControllerClass);
// What snapshot text holds, read in pieces of at most piece bytes as a file is read.
StatusOr<SnapshotContent> ParseText(std::string_view text, std::size_t piece = SIZE_MAX);
// The registry snapshot text holds, loaded as a run loads it from a file written in dir.
StatusOr<std::unique_ptr<DeviceRegistry>> LoadText(const TempDir& dir, const std::string& text);

}  // namespace testing

// The registry a snapshot text holds, loaded as a run loads it from a file of its own, which
// takes its saves; but its chosen operations fail, its chosen values are others (such as texts
// that are not UTF-8, which no snapshot holds), and each write is told first to on_write.
class TwinRegistry : public DeviceRegistry {
 public:
  // Throws std::invalid_argument, saying why, when the text is refused.
  explicit TwinRegistry(const std::string& snapshot);

  // An operation answers its failure's status: kMatch when the class asked for is the failure's
  // class, the others when their entry conforms to it; an empty class means always.
  enum Operation { kMatch, kChildIterator, kReadProperty };
  std::map<Operation, std::pair<StatusCode, std::string>> failures;
  // Every entry's value under each key here.
  std::map<std::string, PropertyValue, std::less<>> values;
  std::function<void(const Dictionary& settings)> on_write;

  // The first entry of class_name, or an empty handle.
  RegistryEntry First(std::string_view class_name) { return *real_->MatchFirstService(class_name); }

  StatusOr<RegistryIterator> MatchServices(std::string_view class_name) override {
    if (Fails(kMatch, nullptr, class_name)) return Failure(kMatch);
    return real_->MatchServices(class_name);
  }
  StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) override {
    if (Fails(kChildIterator, &entry)) return Failure(kChildIterator);
    return real_->ChildIterator(entry);
  }
  RegistryEntry ParentOf(const RegistryEntry& entry) override { return real_->ParentOf(entry); }
  StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                      std::string_view key) override {
    if (Fails(kReadProperty, &entry)) return Failure(kReadProperty);
    if (const auto value = values.find(key); value != values.end()) return {value->second};
    return real_->ReadProperty(entry, key);
  }
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override {
    return real_->ConformsTo(entry, class_name);
  }
  Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override {
    if (on_write) on_write(settings);
    return real_->WriteProperties(entry, settings);
  }
  StatusOr<std::string> DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                      std::string_view port_name) override {
    return real_->DescribeWrite(entry, settings, port_name);
  }
  Status StreamSnapshot(SnapshotSink& sink) override { return real_->StreamSnapshot(sink); }

 private:
  // Whether op fails for entry (kMatch: for the class asked for).
  bool Fails(Operation op, const RegistryEntry* entry, std::string_view asked = {});
  Status Failure(Operation op) { return Status::Error(failures[op].first, "injected"); }

  testing::TempDir dir_;
  std::unique_ptr<DeviceRegistry> real_;
};

}  // namespace halvane
