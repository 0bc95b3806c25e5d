#include "sysfs/sysfs_registry.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/file_io.h"
#include "registry/vocabulary.h"
#include "sysfs/live_registry.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_tables.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

LiveNode* NodeOf(const RegistryEntry& entry) { return dynamic_cast<LiveNode*>(entry.impl()); }

Status NotOurs() { return Status::Error(kNoDevice, "the entry is not one of this registry's"); }

// Only a Fibre Channel host's driver takes settings.
Status NoSettings(const LiveNode& node) {
  return Status::Error(kUnsupported, node.name + " takes no settings");
}

class ListIterator : public RegistryIterator::Impl {
 public:
  explicit ListIterator(LiveNodes nodes) : nodes_(std::move(nodes)) {}
  RegistryEntry Next() override {
    if (next_ == nodes_.size()) return RegistryEntry();
    return RegistryEntry(std::move(nodes_[next_++]));
  }

 private:
  LiveNodes nodes_;
  std::size_t next_ = 0;
};

// Registry order (depth-first pre-order), listing each level only when the walk reaches it, and
// going no deeper than the deepest level whose class is asked for.
class MatchWalk : public RegistryIterator::Impl {
 public:
  MatchWalk(SysfsRegistry& registry, std::shared_ptr<LiveNode> top, std::string_view class_name,
            std::optional<Level> deepest, bool hosts, bool maps)
      : registry_(registry),
        class_name_(class_name),
        deepest_(deepest),
        hosts_(hosts),
        maps_(maps) {
    if (deepest_) stack_.emplace_back(LiveNodes{std::move(top)}, 0);
  }

  RegistryEntry Next() override {
    while (!stack_.empty()) {
      auto& [nodes, next] = stack_.back();
      if (next == nodes.size()) {
        stack_.pop_back();
        continue;
      }
      std::shared_ptr<LiveNode> node = nodes[next++];
      if (SysfsRegistry::Depth(node->level) < SysfsRegistry::Depth(*deepest_))
        stack_.emplace_back(registry_.Children(*node, hosts_, maps_), 0);
      if (registry_.ClassConformsTo(SysfsRegistry::ClassOf(node->level), class_name_))
        return RegistryEntry(std::move(node));
    }
    return RegistryEntry();
  }

 private:
  SysfsRegistry& registry_;
  std::string class_name_;
  std::optional<Level> deepest_;
  bool hosts_;
  bool maps_;
  std::vector<std::pair<LiveNodes, std::size_t>> stack_;
};

}  // namespace

SysfsRegistry::SysfsRegistry(std::string root, SysfsReader* reader, AttributeWriter* writer)
    : root_(root),
      owned_reader_(reader ? nullptr : MakeTreeReader(root)),
      owned_writer_(writer ? nullptr : MakeTreeWriter(root)),
      remembering_(reader ? *reader : *owned_reader_),
      reader_(remembering_),
      driver_(std::move(root), reader_, writer ? *writer : *owned_writer_) {
  classes_ = {{kUserControllerClass, kScsiControllerClass},
              {kSysfsHostClass, kUserControllerClass},
              {kSysfsRemotePortClass, kScsiDeviceClass},
              {kSysfsTargetClass, kScsiTargetClass}};
  top_ = std::make_shared<LiveNode>();
  top_->table = PropertyValue::OfDictionary({});
}

StatusOr<RegistryIterator> SysfsRegistry::MatchServices(std::string_view class_name) {
  // Entries of one level share one class, so the walk goes no deeper than the deepest level
  // whose class conforms; the root's hosts are listed only for a class of the hosts' levels, its
  // maps only for theirs.
  std::optional<Level> deepest;
  bool hosts = false;
  for (Level level : {Level::kRoot, Level::kHost, Level::kRemotePort, Level::kTarget, Level::kUnit,
                      Level::kMap, Level::kNvmeController, Level::kNamespace}) {
    if (!ClassConformsTo(ClassOf(level), class_name)) continue;
    if (!deepest || Depth(level) > Depth(*deepest)) deepest = level;
    hosts = hosts || (level != Level::kRoot && level != Level::kMap);
  }
  const bool maps = ClassConformsTo(ClassOf(Level::kMap), class_name);
  return RegistryIterator(
      std::make_shared<MatchWalk>(*this, top_, class_name, deepest, hosts, maps));
}

StatusOr<RegistryIterator> SysfsRegistry::ChildIterator(const RegistryEntry& entry) {
  LiveNode* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return RegistryIterator(std::make_shared<ListIterator>(Children(*node)));
}

RegistryEntry SysfsRegistry::ParentOf(const RegistryEntry& entry) {
  const LiveNode* node = NodeOf(entry);
  if (node == nullptr || node->parent == nullptr) return RegistryEntry();
  return RegistryEntry(node->parent->shared_from_this());
}

StatusOr<std::optional<PropertyValue>> SysfsRegistry::ReadProperty(const RegistryEntry& entry,
                                                                   std::string_view key) {
  LiveNode* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return MemberValue(Table(*node, key), key);
}

bool SysfsRegistry::ConformsTo(const RegistryEntry& entry, std::string_view class_name) {
  const LiveNode* node = NodeOf(entry);
  return node != nullptr && ClassConformsTo(ClassOf(node->level), class_name);
}

Status SysfsRegistry::WriteProperties(const RegistryEntry& entry, const Dictionary& settings) {
  const LiveNode* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  if (node->level != Level::kHost) return NoSettings(*node);
  return driver_.Apply(HostPlace{node->name, node->folder}, settings);
}

std::string SysfsRegistry::WhyNoPorts() {
  // The kernel makes class/fc_host when the FC transport is loaded, which every Fibre Channel
  // driver needs, and a folder in it for every port a driver registers.
  const std::string folder = root_ + "/class/fc_host";
  if (const Listing hosts = reader_.List(folder); !hosts.ok())
    return std::string(hosts.status().message());
  if (!reader_.Exists(folder)) return folder + " does not exist: no Fibre Channel driver is loaded";
  return folder + " lists no port: no driver has registered a Fibre Channel port";
}

StatusOr<std::string> SysfsRegistry::DescribeWrite(const RegistryEntry& entry,
                                                   const Dictionary& settings, std::string_view) {
  const LiveNode* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  if (node->level != Level::kHost) return NoSettings(*node);
  return driver_.Describe(HostPlace{node->name, node->folder}, settings);
}

std::string_view SysfsRegistry::ClassOf(Level level) {
  switch (level) {
    case Level::kRoot:
      return kSysfsRootClass;
    case Level::kHost:
      return kSysfsHostClass;
    case Level::kRemotePort:
      return kSysfsRemotePortClass;
    case Level::kTarget:
      return kSysfsTargetClass;
    case Level::kUnit:
      return kSysfsLogicalUnitClass;
    case Level::kNvmeController:
      return kSysfsNvmeControllerClass;
    case Level::kNamespace:
      return kSysfsNamespaceClass;
    case Level::kMap:
      break;
  }
  return kSysfsMultipathMapClass;
}

int SysfsRegistry::Depth(Level level) {
  switch (level) {
    case Level::kMap:
      return 1;
    case Level::kNvmeController:
      return 2;
    case Level::kNamespace:
      return 3;
    default:
      return static_cast<int>(level);
  }
}

void SysfsRegistry::KeepWhatIsRead() {
  keep_units_ = true;
  remembering_.RememberStates();
}

Status SysfsRegistry::IsTree() {
  const Listing names = reader_.List(root_);
  return names.ok() ? Status::Ok() : names.status();
}

bool SysfsRegistry::ClassConformsTo(std::string_view class_name, std::string_view wanted) const {
  return ClassDerivesFrom(classes_, class_name, wanted);
}

std::shared_ptr<LiveNode> SysfsRegistry::Child(LiveNode& parent, Level level, std::string name,
                                               std::string folder) {
  auto node = std::make_shared<LiveNode>();
  node->level = level;
  node->parent = &parent;
  node->name = std::move(name);
  node->folder = std::move(folder);
  return node;
}

LiveNodes SysfsRegistry::Children(LiveNode& node, bool hosts, bool maps) {
  Failures failed;
  LiveNodes children = ListChildren(node, hosts, maps, &failed);
  if (failed.empty()) return children;
  // Kept with the entry too, so that a capture carries them (a unit lists no folder).
  Dictionary table = Table(node);
  for (const Status& failure : failed) {
    NoteFailedRead(failure);
    RecordReadFailure(&table, kChildrenFailedKey, failure);
  }
  node.table = PropertyValue::OfDictionary(std::move(table));
  return children;
}

LiveNodes SysfsRegistry::ListUnits(LiveNode& target, Failures* failed) {
  LiveNodes units;
  for (UnitPlace& place :
       UnitsOf(reader_, target.folder, target.number, target.channel, target.target_id, failed)) {
    auto unit = Child(target, Level::kUnit, std::move(place.name), std::move(place.folder));
    unit->number = place.lun;
    units.push_back(std::move(unit));
  }
  if (keep_units_) {
    target.listed = true;
    target.children = units;
  }
  return units;
}

LiveNodes SysfsRegistry::ListRoot(LiveNode& root, bool hosts, bool maps, Failures* failed) {
  if (hosts && !root.listed) {
    root.listed = true;
    for (const FibreChannelHost& host : FibreChannelHosts(reader_, root_, failed)) {
      auto child = Child(root, Level::kHost, host.name, host.folder);
      child->number = host.number;
      root.children.push_back(std::move(child));
    }
  }
  if (maps && !root.maps_listed) {
    root.maps_listed = true;
    for (const MapPlace& map : MultipathMaps(reader_, root_, failed))
      root.maps.push_back(Child(root, Level::kMap, map.name, map.folder));
  }
  LiveNodes children = hosts ? root.children : LiveNodes{};
  if (maps) children.insert(children.end(), root.maps.begin(), root.maps.end());
  return children;
}

void SysfsRegistry::ListHostChildren(LiveNode& host, Failures* failed) {
  for (const RemotePortPlace& place : TargetPorts(reader_, root_, host.number, failed)) {
    auto port = Child(host, Level::kRemotePort, place.name, place.folder);
    port->channel = place.channel;
    port->target_id = place.target_id;
    host.children.push_back(std::move(port));
  }
  const auto wwn = Taken(reader_.ReadText(host.folder, "port_name"), failed);
  const auto port_name = wwn ? ParseHex(*wwn) : std::nullopt;
  for (NvmeControllerPlace& place : port_name
                                        ? NvmeControllersOf(reader_, root_, *port_name, failed)
                                        : std::vector<NvmeControllerPlace>{}) {
    auto controller = Child(host, Level::kNvmeController, place.name, place.folder);
    controller->controller = std::move(place);
    host.children.push_back(std::move(controller));
  }
}

void SysfsRegistry::ListNamespaces(LiveNode& controller, Failures* failed) {
  for (NamespacePlace& place : NamespacesOf(reader_, controller.folder, failed)) {
    auto child =
        Child(controller, Level::kNamespace, std::move(place.name), std::move(place.folder));
    child->number = place.nsid;
    controller.children.push_back(std::move(child));
  }
}

void SysfsRegistry::ListTarget(LiveNode& remote_port) {
  const std::uint64_t host = remote_port.parent->number;
  TargetPlace place = TargetOf(host, RemotePortPlace{remote_port.name, remote_port.folder,
                                                     remote_port.channel, remote_port.target_id});
  auto target = Child(remote_port, Level::kTarget, place.name, std::move(place.folder));
  target->channel = remote_port.channel;
  target->target_id = remote_port.target_id;
  target->number = host;
  target->table = PropertyValue::OfDictionary(
      {{kScsiTargetNameKey, PropertyValue::String(place.name)},
       {kScsiAddressKey, PropertyValue::String(place.name.substr(std::strlen("target")))}});
  remote_port.children.push_back(std::move(target));
}

LiveNodes SysfsRegistry::ListChildren(LiveNode& node, bool hosts, bool maps, Failures* failed) {
  if (node.level == Level::kTarget && node.listed) return node.children;
  if (node.level == Level::kTarget) return ListUnits(node, failed);
  if (node.level == Level::kRoot) return ListRoot(node, hosts, maps, failed);
  if (node.level == Level::kUnit || node.level == Level::kMap || node.level == Level::kNamespace ||
      node.listed) {
    return node.children;
  }
  node.listed = true;
  if (node.level == Level::kHost) {
    ListHostChildren(node, failed);
  } else if (node.level == Level::kNvmeController) {
    ListNamespaces(node, failed);
  } else {
    ListTarget(node);
  }
  return node.children;
}

const Dictionary& SysfsRegistry::Table(LiveNode& node, std::string_view key) {
  if (node.level == Level::kUnit) {
    if (node.unit_values.empty()) node.unit_values = UnitBasics(node.name, node.number);
    const UnitGroup wanted = key.empty() ? UnitGroup::kNone : UnitGroupOf(key);
    unsigned missing = 0;
    for (const UnitGroup group : kUnitGroups) {
      // The inventory's sizes are the block device's, so that group reads the block device too.
      const bool needed = key.empty() || group == wanted ||
                          (wanted == UnitGroup::kInventory && group == UnitGroup::kBlockDevice);
      if (needed) missing |= 1u << static_cast<unsigned>(group);
    }
    missing &= ~node.groups_read;
    for (const UnitGroup group : kUnitGroups) {
      if ((missing & (1u << static_cast<unsigned>(group))) != 0)
        AddUnitGroup(reader_, node.folder, group, &node.unit_values);
    }
    node.groups_read |= missing;
    return node.unit_values;
  }
  if (!node.table) {
    switch (node.level) {
      case Level::kHost:
        node.table = HostTable(reader_, root_, node.folder, node.number, node.name, counters_);
        break;
      case Level::kRemotePort:
        node.table = RemotePortTable(reader_, node.folder, node.target_id);
        break;
      case Level::kMap:
        node.table = MapTable(reader_, root_, node.folder, node.name);
        break;
      case Level::kNvmeController: {
        LiveNode& host = *node.parent;
        if (!host.remote_ports) {
          Failures failed;
          host.remote_ports = RemotePortsByName(reader_, root_, host.number, &failed);
          for (const Status& failure : failed) NoteFailedRead(failure);
        }
        const auto port = host.remote_ports->find(node.controller->address.remote.port);
        node.table = NvmeControllerTable(
            reader_, *node.controller, port == host.remote_ports->end() ? nullptr : &port->second);
        break;
      }
      case Level::kNamespace:
        node.table =
            NamespaceTable(reader_, root_, NamespacePlace{node.number, node.name, node.folder});
        break;
      default:  // the root's and a target's tables are made with them
        node.table = PropertyValue::OfDictionary({});
    }
  }
  return *node.table->AsDictionary();
}

StatusOr<std::string> ResolveSysfsRoot(const std::string& root) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr)
    return Status::Error(kNoDevice, ErrnoText(errno, root));
  return std::string(resolved);
}

StatusOr<std::unique_ptr<DeviceRegistry>> BuildSysfsRegistry(const std::string& root,
                                                             SysfsReader* reader,
                                                             AttributeWriter* writer) {
  const StatusOr<std::string> real = ResolveSysfsRoot(root);
  if (!real.ok()) return real.status();
  auto registry = std::make_unique<SysfsRegistry>(*real, reader, writer);
  if (const Status tree = registry->IsTree(); !tree.ok())
    return Status::Error(kNoDevice,
                         ErrnoText(tree.error_number() ? tree.error_number() : ENOTDIR, root));
  return std::unique_ptr<DeviceRegistry>(std::move(registry));
}

}  // namespace halvane
