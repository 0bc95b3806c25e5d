// In-memory twins of the host services, for tests: each records what the code under test asked
// of it and answers as the test configured.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/run.h"

#include "host/host_rescan.h"
#include "host/message_ports.h"
#include "host/user_identity.h"
#include "support/memory_registry.h"
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

// Records the messages sent; every call succeeds.
class RecordingMessagePorts : public MessagePorts {
 public:
  std::vector<MessageHeader> sent;

  StatusOr<PortName> LookupPort() override { return 0x103; }
  StatusOr<PortName> LookUpService(PortName, std::string_view) override { return 0x207; }
  Status SendMessage(const MessageHeader& message) override {
    sent.push_back(message);
    return Status::Ok();
  }
};

// A fixed identity.
class FixedUserIdentity : public UserIdentity {
 public:
  explicit FixedUserIdentity(std::uint32_t uid) : uid_(uid) {}
  std::uint32_t EffectiveUserId() const override { return uid_; }

 private:
  std::uint32_t uid_;
};

// Records the rescans asked for: the host of each, or nothing for every host.
class RecordingHostRescan : public HostRescan {
 public:
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
class RecordingAttributeWriter : public AttributeWriter {
 public:
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

// A run of the front end in-process, its host services twins: what it printed, what it sent and
// how it ended.
struct InProcessRun {
  explicit InProcessRun(DeviceRegistry& r, std::uint32_t uid = 0) : registry(r), users(uid) {}
  // args without the program's name.
  RunOutcome Run(std::vector<std::string> args);

  LazyRegistry registry;
  FixedUserIdentity users;
  RecordingMessagePorts ports;
  RecordingHostRescan rescan;
  std::ostringstream out;
  std::ostringstream err;
};

// A memory registry whose chosen operations fail.
class FailingRegistry : public MemoryRegistry {
 public:
  enum class Operation { kMatch, kChildIterator, kReadProperty };

  // Makes op answer status: for kMatch when the class asked for is class_name, for the other
  // operations when the entry's own class is class_name; an empty class_name means always.
  void FailOperation(Operation op, StatusCode status, std::string class_name = {}) {
    failures_.push_back(Failure{op, status, std::move(class_name)});
  }

  StatusOr<RegistryIterator> MatchServices(std::string_view class_name) override;
  StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) override;
  StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                      std::string_view key) override;

 private:
  struct Failure {
    Operation op;
    StatusCode status;
    std::string class_name;
  };
  Status Injected(Operation op, std::string_view class_name) const;
  Status InjectedFor(Operation op, const RegistryEntry& entry) const;

  std::vector<Failure> failures_;
};

}  // namespace halvane
