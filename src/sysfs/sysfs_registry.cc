#include "sysfs/sysfs_registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <tuple>

#include "registry/snapshot.h"
#include "sysfs/scsi_pages.h"
#include "sysfs/sysfs_files.h"

namespace halvane {
namespace {

// Strict parse of a whole unsigned decimal text; nothing for anything else.
std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Names and ids as the kernel writes them ("0x%llx").
std::optional<std::uint64_t> ParseHex(std::string_view text) { return ParsePrefixedHex(text, 16); }

// Splits "<prefix>A:B..." style names into their numbers: "rport-7:0-3" with prefix "rport-"
// and separators ":-" gives 7, 0, 3.
std::optional<std::vector<std::uint64_t>> NumbersOf(std::string_view name, std::string_view prefix,
                                                    std::string_view separators) {
  if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
  name.remove_prefix(prefix.size());
  std::vector<std::uint64_t> numbers;
  for (char separator : std::string(separators) + '\0') {
    const std::size_t at = separator == '\0' ? name.size() : name.find(separator);
    if (at == std::string_view::npos) return std::nullopt;
    auto n = ParseDecimal(name.substr(0, at));
    if (!n) return std::nullopt;
    numbers.push_back(*n);
    name.remove_prefix(separator == '\0' ? at : at + 1);
  }
  return numbers;
}

PropertyValue WwnData(std::uint64_t wwn) {
  Data bytes(8);
  for (int i = 0; i < 8; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(wwn >> (56 - 8 * i));
  return PropertyValue::OfData(std::move(bytes));
}

std::string Basename(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

bool IsPciAddress(const std::string& name) {
  // dddd:bb:dd.f in lower-case hexadecimal
  if (name.size() != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return name[11] >= '0' && name[11] <= '7';
}

// What an attribute or a device holds as text. Text that is not UTF-8 is kept as the bytes read,
// so that no report shows it as text and a snapshot of the host keeps it byte for byte (a
// snapshot's strings can only be Unicode).
PropertyValue AttributeText(std::string bytes) {
  if (IsValidUtf8(bytes)) return PropertyValue::String(std::move(bytes));
  return PropertyValue::OfData(Data(bytes.begin(), bytes.end()));
}

std::string TrimInquiryText(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

// A Fibre Channel host as the listing finds it: class/fc_host/hostN leading to a folder inside
// the tree. In host number order.
struct FibreChannelHost {
  std::uint64_t number;
  std::string name;    // "hostN"
  std::string folder;  // its fc_host folder, a real path
};

std::vector<FibreChannelHost> FibreChannelHosts(SysfsReader& reader, const std::string& root) {
  std::vector<FibreChannelHost> hosts;
  for (const std::string& name : reader.List(root + "/class/fc_host")) {
    auto n = NumbersOf(name, "host", "");
    if (!n) continue;
    auto folder = ResolveInside(root, root + "/class/fc_host/" + name);
    if (folder && IsFolder(*folder)) hosts.push_back({(*n)[0], name, *folder});
  }
  std::sort(hosts.begin(), hosts.end(), [](const FibreChannelHost& a, const FibreChannelHost& b) {
    return std::tie(a.number, a.name) < std::tie(b.number, b.name);
  });
  return hosts;
}

// The host device of an fc_host folder: the kernel puts a host's class folders at
// <device>/fc_host/hostN and <device>/scsi_host/hostN.
std::string DeviceOf(const std::string& fc_folder) { return Parent(Parent(fc_folder)); }

// What the driver needs of a host entry: its name and the device its port was read from.
struct HostPlace {
  std::string name;
  std::string device;
};

// The folder of a host's driver attributes: its class/scsi_host link, followed only into the
// tree and only to the scsi_host folder of the device the port was read from, so that nothing is
// ever written outside the tree or to another adapter.
std::optional<std::string> ScsiHostFolder(const std::string& root, const HostPlace& host) {
  auto folder = ResolveInside(root, root + "/class/scsi_host/" + host.name);
  if (!folder || *folder != host.device + "/scsi_host/" + host.name || !IsFolder(*folder))
    return std::nullopt;
  return folder;
}

RegistryStatus StatusOfErrno(int error, const std::string& host_folder) {
  if (error == kNotAnAttribute) return kRegistryUnsupported;
  if (!IsFolder(host_folder)) return kRegistryNoDevice;
  switch (error) {
    case EPERM:
    case EACCES:
      return kRegistryNotPrivileged;
    case EINVAL:
      return kRegistryBadArgument;
    default:
      return kRegistryIoError;
  }
}

// Whether the host is an NPIV virtual port: its device sits below a vport-H:C-N folder. A virtual
// port shares the physical adapter's attributes, so a setting written through it would change
// the link of the physical port and of every other virtual port on it.
bool IsVirtualPort(const std::string& root, const std::string& folder) {
  for (std::string f = folder; f.size() > root.size(); f = Parent(f)) {
    if (NumbersOf(Basename(f), "vport-", ":-")) return true;
  }
  return false;
}

// One driver attribute to change.
struct Change {
  const char* attribute;
  std::string value;
  // lpfc's attributes read back their configured value, and take "nolip <value>" to record a
  // value without resetting the link.
  bool lpfc = false;
  std::string previous;  // lpfc: the configured value before the run
};

// The changes the settings ask of the host whose attributes are in folder, speed first: lpfc's
// topology store checks loop mode against the configured speed. An lpfc attribute already at the
// value asked for is left alone, as writing it would reset the link for nothing; qla2xxx's
// port_speed reads back the link's rate, not the configured one, so it is always written.
RegistryStatus PlanChanges(const std::string& folder, const Dictionary& settings,
                           std::vector<Change>* plan) {
  std::optional<Change> speed;
  std::optional<Change> topology;
  for (const auto& [key, value] : settings) {
    const std::string* text = value.AsString();
    if (key == kSpeedSetting && text) {
      static const std::map<std::string, std::string, std::less<>> kLpfc = {
          {"Automatic", "0"}, {"1 Gigabit", "1"}, {"2 Gigabit", "2"}, {"4 Gigabit", "4"}};
      static const std::map<std::string, std::string, std::less<>> kPortSpeed = {
          {"Automatic", "0"}, {"4 Gigabit", "4"}};
      const bool lpfc = Exists(folder + "/lpfc_link_speed");
      const auto& table = lpfc ? kLpfc : kPortSpeed;
      auto it = table.find(*text);
      if ((!lpfc && !Exists(folder + "/port_speed")) || it == table.end())
        return kRegistryUnsupported;
      speed = Change{lpfc ? "lpfc_link_speed" : "port_speed", it->second, lpfc, {}};
    } else if (key == kTopologySetting && text && Exists(folder + "/lpfc_topology")) {
      static const std::map<std::string, std::string, std::less<>> kLpfc = {
          {"Automatic", "0"}, {"N_Port", "2"}, {"NL_Port", "4"}};
      auto it = kLpfc.find(*text);
      if (it == kLpfc.end()) return kRegistryUnsupported;
      topology = Change{"lpfc_topology", it->second, true, {}};
    } else {
      // No Linux driver takes a hard AL_PA at run time, and nothing else is a setting.
      return kRegistryUnsupported;
    }
  }
  for (std::optional<Change>* change : {&speed, &topology}) {
    if (!*change) continue;
    if ((*change)->lpfc) {
      // Without the configured value a refusal could not be rolled back: nothing is written.
      // An attribute that cannot be read reads as "", which is no number either.
      const auto number =
          ParseDecimal(ReadTextAttribute(folder + "/" + (*change)->attribute).value_or(""));
      if (!number) return kRegistryUnsupported;
      if (*number == *ParseDecimal((*change)->value)) continue;
      (*change)->previous = std::to_string(*number);
    } else if (topology) {
      // Only a change that can be rolled back may come before another.
      return kRegistryUnsupported;
    }
    plan->push_back(**change);
  }
  return kRegistrySuccess;
}

class SettingsDriver {
 public:
  SettingsDriver(std::string root, AttributeWriter& writer, std::ostream& errors)
      : root_(std::move(root)), writer_(writer), errors_(errors) {}

  Status Apply(const HostPlace& host, const Dictionary& settings) const {
    if (!IsFolder(root_ + "/class/scsi_host/" + host.name)) return kRegistryNoDevice;
    const auto folder = ScsiHostFolder(root_, host);
    if (!folder || IsVirtualPort(root_, *folder)) return kRegistryUnsupported;
    // Every key is checked before anything is written: a setting the host cannot take leaves the
    // others unwritten too.
    std::vector<Change> plan;
    if (RegistryStatus s = PlanChanges(*folder, settings, &plan); s != kRegistrySuccess) return s;
    // Every lpfc write resets the link unless it says "nolip": all but the last say so, and the
    // link resets once, with every value in place.
    for (std::size_t i = 0; i < plan.size(); ++i) {
      const bool last = i + 1 == plan.size();
      const int error = Write(*folder, plan[i], plan[i].value, plan[i].lpfc && !last);
      if (error == 0) continue;
      // A refused change leaves none of the others made.
      for (std::size_t j = i; j-- > 0;) Restore(host, *folder, plan[j]);
      return Status::Error(StatusOfErrno(error, *folder),
                           host.name + ": " + plan[i].attribute + ": " + WriteErrorText(error));
    }
    return kRegistrySuccess;
  }

 private:
  int Write(const std::string& folder, const Change& change, const std::string& value,
            bool nolip) const {
    return writer_.Write(folder + "/" + change.attribute, (nolip ? "nolip " : "") + value + "\n");
  }

  void Restore(const HostPlace& host, const std::string& folder, const Change& change) const {
    const int error = Write(folder, change, change.previous, true);
    if (error == 0) return;
    errors_ << "halvane: " << host.name << ": " << change.attribute << " is left at "
            << change.value << " (writing back " << change.previous
            << " failed: " << WriteErrorText(error) << ")\n";
  }

  std::string root_;
  AttributeWriter& writer_;
  std::ostream& errors_;
};

// The live registry. Its structure (hosts, their remote ports that are targets, each one's target
// and the target's logical units) is found by listing folders when a walk first reaches it; an
// entry's properties are read when the run first asks for any of them. A run that needs only the
// ports (a port's block, a settings run) therefore never reads below the Fibre Channel hosts,
// and a target's logical units are listed afresh on each walk and kept by nobody but the walk,
// so a listing holds one target's units at a time.
enum class Level { kRoot, kHost, kRemotePort, kTarget, kUnit };

struct LiveNode : RegistryEntry::Impl {
  Level level = Level::kRoot;
  LiveNode* parent = nullptr;  // parents outlive the walks that reach their children
  std::string name;            // "hostN", "rport-H:C-N", "targetH:C:T", "H:C:T:L"
  std::string folder;          // the folder its attributes are read from
  std::uint64_t number = 0;    // host number, or LUN
  std::uint64_t channel = 0;   // remote ports
  std::int64_t target_id = 0;  // remote ports
  std::optional<PropertyValue> table;
  bool listed = false;
  std::vector<std::shared_ptr<LiveNode>> children;  // kept for every level but targets
};

using LiveNodes = std::vector<std::shared_ptr<LiveNode>>;

class SysfsRegistry : public DeviceRegistry {
 public:
  SysfsRegistry(std::string root, std::unique_ptr<SysfsReader> owned, SysfsReader& reader,
                AttributeWriter& writer, std::ostream& errors)
      : root_(root),
        owned_reader_(std::move(owned)),
        reader_(reader),
        driver_(std::move(root), writer, errors) {
    classes_ = {{kUserControllerClass, kScsiControllerClass},
                {kSysfsHostClass, kUserControllerClass},
                {kSysfsRemotePortClass, kScsiDeviceClass},
                {kSysfsTargetClass, kScsiTargetClass}};
    top_ = std::make_shared<LiveNode>();
    top_->table = PropertyValue::OfDictionary({});
  }

  RegistryEntry MatchFirstService(std::string_view class_name) override {
    RegistryIterator matches;
    MatchServices(class_name, &matches);
    return NextEntry(matches);
  }

  RegistryStatus MatchServices(std::string_view class_name, RegistryIterator* out) override {
    // Entries of one level share one class, so the walk goes no deeper than the deepest level
    // whose class conforms.
    std::optional<Level> deepest;
    for (Level level :
         {Level::kRoot, Level::kHost, Level::kRemotePort, Level::kTarget, Level::kUnit}) {
      if (ClassConformsTo(ClassOf(level), class_name)) deepest = level;
    }
    *out = RegistryIterator(std::make_shared<Walk>(*this, top_, class_name, deepest));
    return kRegistrySuccess;
  }

  RegistryStatus ChildIterator(const RegistryEntry& entry, RegistryIterator* out) override {
    LiveNode* node = NodeOf(entry);
    if (node == nullptr) return kRegistryNoDevice;
    *out = RegistryIterator(std::make_shared<ListIterator>(Children(*node)));
    return kRegistrySuccess;
  }

  std::optional<PropertyValue> ReadProperty(const RegistryEntry& entry,
                                            std::string_view key) override {
    LiveNode* node = NodeOf(entry);
    if (node == nullptr) return std::nullopt;
    const PropertyValue* value = FindMember(Own(*node), key);
    return value ? std::optional<PropertyValue>(*value) : std::nullopt;
  }

  RegistryStatus ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) override {
    LiveNode* node = NodeOf(entry);
    if (node == nullptr) return kRegistryNoDevice;
    Table(*node);
    *out = *node->table;
    return kRegistrySuccess;
  }

  std::optional<PropertyValue> SearchProperty(const RegistryEntry& entry, std::string_view key,
                                              SearchDirection direction) override {
    LiveNode* node = NodeOf(entry);
    if (node == nullptr) return std::nullopt;
    if (direction == SearchDirection::kAncestors) {
      for (LiveNode* n = node; n != nullptr; n = n->parent) {
        if (const PropertyValue* v = FindMember(Own(*n), key)) return *v;
      }
      return std::nullopt;
    }
    if (const PropertyValue* v = FindMember(Own(*node), key)) return *v;
    // Depth first, in child order; each level's entries live only while the walk is on them.
    std::vector<std::pair<LiveNodes, std::size_t>> stack;
    stack.emplace_back(Children(*node), 0);
    while (!stack.empty()) {
      auto& [nodes, next] = stack.back();
      if (next == nodes.size()) {
        stack.pop_back();
        continue;
      }
      std::shared_ptr<LiveNode> n = nodes[next++];
      if (const PropertyValue* v = FindMember(Own(*n), key)) return *v;
      stack.emplace_back(Children(*n), 0);
    }
    return std::nullopt;
  }

  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override {
    const LiveNode* node = NodeOf(entry);
    return node != nullptr && ClassConformsTo(ClassOf(node->level), class_name);
  }

  RegistryStatus WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override {
    const LiveNode* node = NodeOf(entry);
    if (node == nullptr) return kRegistryNoDevice;
    if (node->level != Level::kHost) return kRegistryUnsupported;
    return driver_.Apply(HostPlace{node->name, DeviceOf(node->folder)}, settings).code();
  }

  // The snapshot holds every property, so the whole tree is read and copied into the registry
  // that snapshots are written from.
  RegistryStatus WriteSnapshot(std::string* out) override {
    MemoryRegistry copy;
    for (const auto& [name, superclass] : classes_) copy.DeclareClass(name, superclass);
    std::vector<std::pair<LiveNodes, MemoryRegistry::Node*>> stack;
    MemoryRegistry::Node* root = copy.SetRoot(kSysfsRootClass);
    stack.emplace_back(Children(*top_), root);
    while (!stack.empty()) {
      auto [nodes, parent] = std::move(stack.back());
      stack.pop_back();
      // Children are added in order before any of them is expanded, so order is kept.
      std::vector<std::pair<LiveNodes, MemoryRegistry::Node*>> expansions;
      for (const auto& n : nodes) {
        MemoryRegistry::Node* added =
            copy.AddChild(parent, std::string(ClassOf(n->level)), *Table(*n).AsDictionary());
        expansions.emplace_back(Children(*n), added);
      }
      for (auto it = expansions.rbegin(); it != expansions.rend(); ++it)
        stack.push_back(std::move(*it));
    }
    *out = SerializeSnapshot(copy);
    return kRegistrySuccess;
  }

 private:
  static LiveNode* NodeOf(const RegistryEntry& entry) {
    return dynamic_cast<LiveNode*>(entry.impl());
  }

  static std::string_view ClassOf(Level level) {
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
        break;
    }
    return kSysfsLogicalUnitClass;
  }

  bool ClassConformsTo(std::string_view class_name, std::string_view wanted) const {
    return ClassDerivesFrom(classes_, class_name, wanted);
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

  // Registry order (depth-first pre-order), listing each level only when the walk reaches it.
  class Walk : public RegistryIterator::Impl {
   public:
    Walk(SysfsRegistry& registry, std::shared_ptr<LiveNode> top, std::string_view class_name,
         std::optional<Level> deepest)
        : registry_(registry), class_name_(class_name), deepest_(deepest) {
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
        if (node->level < *deepest_) stack_.emplace_back(registry_.Children(*node), 0);
        if (registry_.ClassConformsTo(ClassOf(node->level), class_name_))
          return RegistryEntry(std::move(node));
      }
      return RegistryEntry();
    }

   private:
    SysfsRegistry& registry_;
    std::string class_name_;
    std::optional<Level> deepest_;
    std::vector<std::pair<LiveNodes, std::size_t>> stack_;
  };

  std::shared_ptr<LiveNode> Child(LiveNode& parent, Level level, std::string name,
                                  std::string folder) {
    auto node = std::make_shared<LiveNode>();
    node->level = level;
    node->parent = &parent;
    node->name = std::move(name);
    node->folder = std::move(folder);
    return node;
  }

  LiveNodes Children(LiveNode& node) {
    if (node.level == Level::kTarget) return ListUnits(node);
    if (node.level == Level::kUnit) return {};
    if (!node.listed) {
      node.listed = true;
      if (node.level == Level::kRoot) {
        for (const FibreChannelHost& host : FibreChannelHosts(reader_, root_)) {
          auto child = Child(node, Level::kHost, host.name, host.folder);
          child->number = host.number;
          node.children.push_back(std::move(child));
        }
      } else if (node.level == Level::kHost) {
        ListRemotePorts(node);
      } else {
        ListTarget(node);
      }
    }
    return node.children;
  }

  const Dictionary& Own(LiveNode& node) { return *Table(node).AsDictionary(); }

  const PropertyValue& Table(LiveNode& node) {
    if (!node.table) {
      switch (node.level) {
        case Level::kHost:
          node.table = HostTable(node);
          break;
        case Level::kRemotePort:
          node.table = RemotePortTable(node);
          break;
        case Level::kUnit:
          node.table = UnitTable(node);
          break;
        default:  // the root's and a target's tables are made with them
          node.table = PropertyValue::OfDictionary({});
      }
    }
    return *node.table;
  }

  PropertyValue HostTable(const LiveNode& node) {
    const std::string& fc_folder = node.folder;
    Dictionary chars;
    if (auto v = reader_.ReadText(fc_folder, "port_name"); v && ParseHex(*v)) {
      chars.insert_or_assign(kPortWorldWideNameKey, WwnData(*ParseHex(*v)));
    }
    if (auto v = reader_.ReadText(fc_folder, "node_name"); v && ParseHex(*v)) {
      chars.insert_or_assign(kNodeWorldWideNameKey, WwnData(*ParseHex(*v)));
    }
    CopyText(fc_folder, "port_state", kPortStatusKey, &chars);
    CopyText(fc_folder, "speed", kPortSpeedKey, &chars);
    if (auto type = reader_.ReadText(fc_folder, "port_type")) {
      chars.insert_or_assign(kPortTopologyKey, AttributeText(*type));
      // Only a loop port has an arbitrated-loop address: the low byte of its port id.
      if (*type == "NLPort (fabric via loop)" || *type == "LPort (private loop)") {
        if (auto id = reader_.ReadText(fc_folder, "port_id"); id && ParseHex(*id)) {
          chars.insert_or_assign(
              kAlpaKey, PropertyValue::OfData({static_cast<std::uint8_t>(*ParseHex(*id) & 0xFF)}));
        }
      }
    }
    if (auto pci = PciFunctionOf(fc_folder)) {
      const std::string address = Basename(*pci);
      chars.insert_or_assign(kPortNumberKey, PropertyValue::Int64(address[11] - '0'));
      chars.insert_or_assign(kSlotKey, AttributeText(SlotOf(address)));
    }
    AddHostInventory(fc_folder, node.number, node.name, &chars);
    return PropertyValue::OfDictionary(
        {{kProtocolCharacteristicsKey,
          PropertyValue::OfDictionary(
              {{kPhysicalInterconnectKey, PropertyValue::String(kFibreChannelInterconnect)}})},
         {kControllerCharacteristicsKey, PropertyValue::OfDictionary(std::move(chars))}});
  }

  // What the kernel and the driver publish about a host beyond what the port block shows: an
  // inventory for scripts. Missing or malformed attributes are left out.
  void AddHostInventory(const std::string& fc_host_folder, std::uint64_t number,
                        const std::string& name, Dictionary* chars) {
    chars->insert_or_assign(kScsiHostNumberKey,
                            PropertyValue::OfNumber(Number::FromUInt64(number)));
    if (auto v = reader_.ReadText(fc_host_folder, "port_id"); v && ParseHex(*v)) {
      chars->insert_or_assign(kPortIdKey,
                              PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
    }
    if (auto v = reader_.ReadText(fc_host_folder, "fabric_name"); v && ParseHex(*v)) {
      chars->insert_or_assign(kFabricNameKey, WwnData(*ParseHex(*v)));
    }
    CopyText(fc_host_folder, "supported_speeds", kSupportedSpeedsKey, chars);
    CopyText(fc_host_folder, "symbolic_name", kSymbolicNameKey, chars);
    Dictionary statistics;
    const std::string counters = fc_host_folder + "/statistics";
    for (const std::string& counter : reader_.List(counters)) {
      auto v = reader_.ReadText(counters, counter.c_str());
      // All ones is the kernel's "not supported".
      if (!v || !ParseHex(*v) || *ParseHex(*v) == UINT64_MAX) continue;
      statistics.insert_or_assign(counter,
                                  PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
    }
    if (!statistics.empty())
      chars->insert_or_assign(kStatisticsKey, PropertyValue::OfDictionary(std::move(statistics)));

    if (auto scsi_host = ResolveInside(root_, root_ + "/class/scsi_host/" + name)) {
      // A driver without a name of its own prints a null pointer's text.
      if (auto v = reader_.ReadText(*scsi_host, "proc_name");
          v && *v != "(null)" && *v != "<NULL>") {
        chars->insert_or_assign(kDriverNameKey, AttributeText(*v));
      }
      // Only the names these drivers are known to publish; lpfc's fwrev, qla2xxx's fw_version.
      for (const char* file : {"fwrev", "fw_version"}) {
        if (auto v = reader_.ReadText(*scsi_host, file)) {
          chars->insert_or_assign(kFirmwareVersionKey, AttributeText(*v));
          break;
        }
      }
      CopyText(*scsi_host, "driver_version", kDriverVersionKey, chars);
    }

    // An NPIV virtual port's host sits under its vport, which sits under the physical port's host.
    const std::string host_device = Parent(Parent(fc_host_folder));
    const std::string vport = Parent(host_device);
    const std::string physical = Parent(vport);
    auto physical_number = NumbersOf(Basename(physical), "host", "");
    if (Basename(vport).substr(0, 6) == "vport-" && physical_number) {
      chars->insert_or_assign(kPhysicalScsiHostNumberKey,
                              PropertyValue::OfNumber(Number::FromUInt64((*physical_number)[0])));
      const std::string physical_fc = physical + "/fc_host/" + Basename(physical);
      if (auto v = reader_.ReadText(physical_fc, "port_name"); v && ParseHex(*v)) {
        chars->insert_or_assign(kPhysicalPortWorldWideNameKey, WwnData(*ParseHex(*v)));
      }
    }
  }

  // The PCI function above a host: the first ancestor folder named like a PCI address.
  std::optional<std::string> PciFunctionOf(const std::string& fc_host_folder) {
    for (std::string folder = Parent(fc_host_folder); folder.size() > root_.size();
         folder = Parent(folder)) {
      if (IsPciAddress(Basename(folder))) return folder;
    }
    return std::nullopt;
  }

  // The physical slot holding a PCI function, by the "domain:bus:device" address of each slot;
  // the function's own address when no slot holds it.
  std::string SlotOf(const std::string& address) {
    const std::string device = address.substr(0, 10);
    const std::string slots = root_ + "/bus/pci/slots";
    for (const std::string& slot : reader_.List(slots)) {
      auto text = reader_.ReadText(slots + "/" + slot, "address");
      unsigned domain = 0, bus = 0, dev = 0;
      char rest = 0;
      if (!text || std::sscanf(text->c_str(), "%x:%x:%x%c", &domain, &bus, &dev, &rest) != 3)
        continue;
      char wanted[16];
      std::snprintf(wanted, sizeof wanted, "%04x:%02x:%02x", domain, bus, dev);
      if (device == wanted) return slot;
    }
    return address;
  }

  // A host's remote ports that are SCSI targets, in target id order.
  void ListRemotePorts(LiveNode& host) {
    std::vector<std::shared_ptr<LiveNode>> ports;
    const std::string remote_ports = root_ + "/class/fc_remote_ports";
    for (const std::string& name : reader_.List(remote_ports)) {
      auto numbers = NumbersOf(name, "rport-", ":-");
      if (!numbers || (*numbers)[0] != host.number) continue;
      auto folder = ResolveInside(root_, remote_ports + "/" + name);
      if (!folder) continue;
      auto id_text = reader_.ReadText(*folder, "scsi_target_id");
      if (!id_text) continue;
      auto id = ParseDecimal(*id_text);  // -1, not a target, does not parse
      if (!id || *id > INT32_MAX) continue;
      auto port = Child(host, Level::kRemotePort, name, *folder);
      port->channel = (*numbers)[1];
      port->target_id = static_cast<std::int64_t>(*id);
      ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
      return std::tie(a->target_id, a->channel, a->name) <
             std::tie(b->target_id, b->channel, b->name);
    });
    host.children = std::move(ports);
  }

  PropertyValue RemotePortTable(const LiveNode& port) {
    Dictionary table{{kScsiTargetIdKey, PropertyValue::Int64(port.target_id)}};
    if (auto v = reader_.ReadText(port.folder, "port_name"); v && ParseHex(*v)) {
      table.insert_or_assign(kRemotePortNameKey, WwnData(*ParseHex(*v)));
    }
    if (auto v = reader_.ReadText(port.folder, "node_name"); v && ParseHex(*v)) {
      table.insert_or_assign(kRemoteNodeNameKey, WwnData(*ParseHex(*v)));
    }
    if (auto v = reader_.ReadText(port.folder, "port_id"); v && ParseHex(*v)) {
      table.insert_or_assign(kRemotePortIdKey,
                             PropertyValue::Int64(static_cast<std::int64_t>(*ParseHex(*v))));
    }
    CopyText(port.folder, "port_state", kRemotePortStateKey, &table);
    CopyText(port.folder, "roles", kRemotePortRolesKey, &table);
    return PropertyValue::OfDictionary(std::move(table));
  }

  // A remote port's one SCSI target. The rport device folder is two levels above its class
  // folder, and holds the target's folder; a port found anywhere else has no logical units.
  void ListTarget(LiveNode& port) {
    const std::uint64_t host = port.parent->number;
    char target_name[80];
    std::snprintf(target_name, sizeof target_name, "target%" PRIu64 ":%" PRIu64 ":%" PRId64, host,
                  port.channel, port.target_id);
    const std::string rport_device = Parent(Parent(port.folder));
    auto target = Child(
        port, Level::kTarget, target_name,
        Basename(rport_device) == port.name ? rport_device + "/" + target_name : std::string());
    target->channel = port.channel;
    target->target_id = port.target_id;
    target->number = host;
    target->table = PropertyValue::OfDictionary(
        {{kScsiTargetNameKey, PropertyValue::String(target_name)},
         {kScsiAddressKey, PropertyValue::String(target_name + std::strlen("target"))}});
    port.children.push_back(std::move(target));
  }

  // A target's logical units in LUN order, made afresh for each walk.
  LiveNodes ListUnits(LiveNode& target) {
    if (target.folder.empty()) return {};
    std::vector<std::pair<std::uint64_t, std::string>> units;
    for (const std::string& name : reader_.List(target.folder)) {
      auto numbers = NumbersOf(name, "", ":::");
      if (!numbers || (*numbers)[0] != target.number || (*numbers)[1] != target.channel ||
          (*numbers)[2] != static_cast<std::uint64_t>(target.target_id)) {
        continue;
      }
      units.emplace_back((*numbers)[3], name);
    }
    std::sort(units.begin(), units.end());
    LiveNodes nodes;
    nodes.reserve(units.size());
    for (auto& [lun, name] : units) {
      std::string folder = target.folder + "/" + name;
      auto unit = Child(target, Level::kUnit, std::move(name), std::move(folder));
      unit->number = lun;
      nodes.push_back(std::move(unit));
    }
    return nodes;
  }

  // A logical unit's properties. A unit whose folder went away since it was listed reads like
  // one whose attributes are missing.
  PropertyValue UnitTable(const LiveNode& unit) {
    const std::string& folder = unit.folder;
    Dictionary table;
    table.insert_or_assign(kLogicalUnitNumberKey,
                           PropertyValue::OfNumber(Number::FromUInt64(unit.number)));
    const auto sam = ScsiLunBytes(unit.number);
    table.insert_or_assign(kLogicalUnitBytesKey,
                           PropertyValue::OfData(Data(sam.begin(), sam.end())));
    const std::pair<const char*, const char*> texts[] = {{"vendor", kVendorIdentificationKey},
                                                         {"model", kProductIdentificationKey},
                                                         {"rev", kProductRevisionLevelKey}};
    for (const auto& [file, key] : texts) {
      if (auto v = reader_.ReadText(folder, file)) {
        table.insert_or_assign(key, AttributeText(TrimInquiryText(*v)));
      }
    }
    if (auto page = reader_.Read(folder, "vpd_pg83", kBinaryAttributeLimit)) {
      AddIdentification(reinterpret_cast<const std::uint8_t*>(page->data()), page->size(), &table);
    }
    if (auto inquiry = reader_.Read(folder, "inquiry", kBinaryAttributeLimit)) {
      if (auto alua = AluaSupportText(reinterpret_cast<const std::uint8_t*>(inquiry->data()),
                                      inquiry->size())) {
        table.insert_or_assign(kAluaSupportKey, PropertyValue::String(*alua));
      }
    }
    CopyText(folder, "access_state", kAccessStateKey, &table);
    table.insert_or_assign(kScsiAddressKey, PropertyValue::String(unit.name));
    CopyText(folder, "state", kScsiDeviceStateKey, &table);
    if (auto v = reader_.FirstNameIn(folder, "block")) {
      table.insert_or_assign(kBlockDeviceKey, AttributeText(*v));
    }
    if (auto v = reader_.FirstNameIn(folder, "scsi_generic")) {
      table.insert_or_assign(kScsiGenericDeviceKey, AttributeText(*v));
    }
    return PropertyValue::OfDictionary(std::move(table));
  }

  static void AddIdentification(const std::uint8_t* page, std::size_t size, Dictionary* table) {
    const std::vector<Designator> designators = ParseDeviceIdentificationPage(page, size);
    Array items;
    const Designator* naa = nullptr;
    const Designator* eui = nullptr;
    for (const Designator& d : designators) {
      const bool text = d.code_set == 2 || d.code_set == 3;
      items.push_back(PropertyValue::OfDictionary({
          {kCodeSetKey, PropertyValue::Int32(d.code_set)},
          {kIdentifierTypeKey, PropertyValue::Int32(d.type)},
          {kAssociationKey, PropertyValue::Int32(d.association)},
          {kIdentifierKey, text ? AttributeText(std::string(d.bytes.begin(), d.bytes.end()))
                                : PropertyValue::OfData(d.bytes)},
      }));
      if (d.association == 0 && d.type == kDesignatorNaa && naa == nullptr) naa = &d;
      if (d.association == 0 && d.type == kDesignatorEui64 && eui == nullptr) eui = &d;
    }
    if (!designators.empty())
      table->insert_or_assign(kDeviceIdentificationKey, PropertyValue::OfArray(std::move(items)));
    if (const Designator* id = naa ? naa : eui) {
      table->insert_or_assign(kUniqueIdentifierKey, PropertyValue::OfData(id->bytes));
    }
  }

  // The text of the attribute file in folder under key, when the file reads.
  void CopyText(const std::string& folder, const char* file, const char* key, Dictionary* table) {
    if (auto v = reader_.ReadText(folder, file)) table->insert_or_assign(key, AttributeText(*v));
  }

  std::string root_;
  std::unique_ptr<SysfsReader> owned_reader_;
  SysfsReader& reader_;
  SettingsDriver driver_;
  ClassTable classes_;
  std::shared_ptr<LiveNode> top_;
};

}  // namespace

std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, std::string* error) {
  return BuildSysfsRegistry(root, ProcessAttributeWriter(), std::cerr, error);
}

std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, AttributeWriter& writer,
                                                   std::ostream& errors, std::string* error) {
  return BuildSysfsRegistry(root, nullptr, writer, errors, error);
}

std::unique_ptr<DeviceRegistry> BuildSysfsRegistry(const std::string& root, SysfsReader* reader,
                                                   AttributeWriter& writer, std::ostream& errors,
                                                   std::string* error) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr || !IsFolder(resolved)) {
    *error = root + ": " + std::strerror(errno ? errno : ENOTDIR);
    return nullptr;
  }
  std::unique_ptr<SysfsReader> owned = reader ? nullptr : MakeTreeReader();
  SysfsReader& used = reader ? *reader : *owned;
  return std::make_unique<SysfsRegistry>(resolved, std::move(owned), used, writer, errors);
}

void RescanSysfsHosts(const std::string& root, AttributeWriter& writer, std::ostream& errors) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr) return;
  const std::string tree = resolved;
  const auto reader = MakeTreeReader();
  for (const FibreChannelHost& host : FibreChannelHosts(*reader, tree)) {
    int error = 0;
    if (auto folder = ScsiHostFolder(tree, HostPlace{host.name, DeviceOf(host.folder)})) {
      error = writer.Write(*folder + "/scan", "- - -\n");
    } else {
      error = Exists(tree + "/class/scsi_host/" + host.name) ? kNotAnAttribute : ENOENT;
    }
    if (error != 0)
      errors << "halvane: cannot rescan " << host.name << ": " << WriteErrorText(error) << "\n";
  }
}

}  // namespace halvane
