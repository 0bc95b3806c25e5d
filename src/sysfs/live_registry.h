// The live registry's entries and the adapter that serves them through the registry interface;
// shared by the files that make up the live backend.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/device_registry.h"
#include "sysfs/driver_settings.h"
#include "sysfs/remembering_reader.h"
#include "sysfs/sysfs_nvme.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// The levels of the live registry; each has one class. The root's children are the Fibre Channel
// hosts, then the multipath maps; a host's are its remote ports that are SCSI targets, then the
// NVMe controllers reached through it, whose children are their namespaces.
enum class Level { kRoot, kHost, kRemotePort, kTarget, kUnit, kMap, kNvmeController, kNamespace };

// An entry. Its structure (hosts, their remote ports that are targets, each one's target and the
// target's logical units) is found by listing folders when a walk first reaches it; its properties
// are read when the run first asks for any of them. A run that needs only the ports (a port's
// block, a settings run) therefore never reads below the Fibre Channel hosts, and a target's
// logical units are listed afresh on each walk and kept by nobody but the walk, so a listing holds
// one target's units at a time; a run that walks the host more than once keeps them
// (KeepWhatIsRead).
struct LiveNode : RegistryEntry::Impl, std::enable_shared_from_this<LiveNode> {
  Level level = Level::kRoot;
  LiveNode* parent = nullptr;  // parents outlive the walks that reach their children
  std::string name;    // "hostN", "rport-H:C-N", "targetH:C:T", "H:C:T:L", "nvmeN", "nvmeScCnN"
  std::string folder;  // the folder its attributes are read from
  std::uint64_t number = 0;            // host number, LUN, or namespace id
  std::uint64_t channel = 0;           // remote ports and targets
  std::int64_t target_id = 0;          // remote ports and targets
  std::optional<PropertyValue> table;  // every level but units
  // Units: the values read so far, grown in place group by group, and which UnitGroups they
  // hold, as bits.
  Dictionary unit_values;
  unsigned groups_read = 0;
  bool listed = false;
  bool maps_listed = false;                     // the root
  std::vector<std::shared_ptr<LiveNode>> maps;  // the root
  // Kept for every level but targets, and for those too once the registry keeps what it read.
  std::vector<std::shared_ptr<LiveNode>> children;
  std::optional<NvmeControllerPlace> controller;  // NVMe controllers
  // Hosts whose NVMe controllers' tables are read: the remote ports by name, read once for all.
  std::optional<std::map<std::uint64_t, std::string>> remote_ports;
};

using LiveNodes = std::vector<std::shared_ptr<LiveNode>>;

class SysfsRegistry : public DeviceRegistry {
 public:
  // Without reader or writer, the tree's own.
  SysfsRegistry(std::string root, SysfsReader* reader, AttributeWriter* writer);
  // Whether root is a folder that can be listed; why not otherwise.
  Status IsTree();

  StatusOr<RegistryIterator> MatchServices(std::string_view class_name) override;
  StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) override;
  RegistryEntry ParentOf(const RegistryEntry& entry) override;
  StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                      std::string_view key) override;
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override;
  Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override;
  StatusOr<std::string> DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                      std::string_view port_name) override;
  // The snapshot holds every property, so the whole tree is read, and written as it is read.
  Status StreamSnapshot(SnapshotSink& sink) override;
  std::string WhyNoPorts() override;
  void KeepWhatIsRead() override;
  void LeaveOutCounters() override { counters_ = false; }

  static std::string_view ClassOf(Level level);
  bool ClassConformsTo(std::string_view class_name, std::string_view wanted) const;
  // An entry's children, listed when first asked for (a target's afresh each time); the root's
  // hosts and maps only when asked for.
  LiveNodes Children(LiveNode& node, bool hosts = true, bool maps = true);
  // The same, with the reads that failed on the way added to failed.
  LiveNodes ListChildren(LiveNode& node, bool hosts, bool maps, Failures* failed);
  // An entry's table, read when first asked for; a unit's, the group that holds key (every
  // group when key is empty).
  const Dictionary& Table(LiveNode& node, std::string_view key = {});
  // How deep a level lies: the root 0, hosts and maps 1, remote ports and NVMe controllers 2, and
  // so on.
  static int Depth(Level level);

 private:
  std::shared_ptr<LiveNode> Child(LiveNode& parent, Level level, std::string name,
                                  std::string folder);
  // ListChildren by the node's level: a target's units, the root's hosts and maps; a host's
  // remote ports and NVMe controllers, a controller's namespaces and a remote port's target are
  // added to the node's children.
  LiveNodes ListUnits(LiveNode& target, Failures* failed);
  LiveNodes ListRoot(LiveNode& root, bool hosts, bool maps, Failures* failed);
  void ListHostChildren(LiveNode& host, Failures* failed);
  void ListNamespaces(LiveNode& controller, Failures* failed);
  void ListTarget(LiveNode& remote_port);

  std::string root_;
  std::unique_ptr<SysfsReader> owned_reader_;
  std::unique_ptr<AttributeWriter> owned_writer_;
  RememberingReader remembering_;
  SysfsReader& reader_;  // remembering_
  SettingsDriver driver_;
  bool keep_units_ = false;
  bool counters_ = true;  // the hosts' statistics/ are read into their tables
  ClassTable classes_;
  std::shared_ptr<LiveNode> top_;
};

}  // namespace halvane
