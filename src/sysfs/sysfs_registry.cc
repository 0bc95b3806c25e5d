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

std::vector<FibreChannelHost> FibreChannelHosts(const std::string& root) {
  std::vector<FibreChannelHost> hosts;
  for (const std::string& name : ListFolder(root + "/class/fc_host")) {
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

class Builder {
 public:
  Builder(std::string root, MemoryRegistry* registry)
      : root_(std::move(root)), registry_(registry) {}

  // Where each host entry's device is, for the driver.
  std::map<const MemoryRegistry::Node*, HostPlace> hosts;

  void Build() {
    registry_->DeclareClass(kUserControllerClass, kScsiControllerClass);
    registry_->DeclareClass(kSysfsHostClass, kUserControllerClass);
    registry_->DeclareClass(kSysfsRemotePortClass, kScsiDeviceClass);
    registry_->DeclareClass(kSysfsTargetClass, kScsiTargetClass);
    MemoryRegistry::Node* top = registry_->SetRoot(kSysfsRootClass);
    for (const FibreChannelHost& host : FibreChannelHosts(root_))
      AddHost(top, host.number, host.name, host.folder);
  }

 private:
  void AddHost(MemoryRegistry::Node* top, std::uint64_t number, const std::string& name,
               const std::string& fc_folder) {
    Dictionary chars;
    if (auto v = ReadTextAttribute(fc_folder + "/port_name"); v && ParseHex(*v)) {
      chars.insert_or_assign(kPortWorldWideNameKey, WwnData(*ParseHex(*v)));
    }
    if (auto v = ReadTextAttribute(fc_folder + "/node_name"); v && ParseHex(*v)) {
      chars.insert_or_assign(kNodeWorldWideNameKey, WwnData(*ParseHex(*v)));
    }
    if (auto v = ReadTextAttribute(fc_folder + "/port_state")) {
      chars.insert_or_assign(kPortStatusKey, AttributeText(*v));
    }
    if (auto v = ReadTextAttribute(fc_folder + "/speed")) {
      chars.insert_or_assign(kPortSpeedKey, AttributeText(*v));
    }
    if (auto type = ReadTextAttribute(fc_folder + "/port_type")) {
      chars.insert_or_assign(kPortTopologyKey, AttributeText(*type));
      // Only a loop port has an arbitrated-loop address: the low byte of its port id.
      if (*type == "NLPort (fabric via loop)" || *type == "LPort (private loop)") {
        if (auto id = ReadTextAttribute(fc_folder + "/port_id"); id && ParseHex(*id)) {
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
    AddHostInventory(fc_folder, number, name, &chars);
    Dictionary table{
        {kProtocolCharacteristicsKey,
         PropertyValue::OfDictionary(
             {{kPhysicalInterconnectKey, PropertyValue::String(kFibreChannelInterconnect)}})},
        {kControllerCharacteristicsKey, PropertyValue::OfDictionary(std::move(chars))}};
    MemoryRegistry::Node* host = registry_->AddChild(top, kSysfsHostClass, std::move(table));
    hosts.emplace(host, HostPlace{name, DeviceOf(fc_folder)});
    AddRemotePorts(host, number);
  }

  // What the kernel and the driver publish about a host beyond what the port block shows: an
  // inventory for scripts. Missing or malformed attributes are left out.
  void AddHostInventory(const std::string& fc_host_folder, std::uint64_t number,
                        const std::string& name, Dictionary* chars) {
    chars->insert_or_assign(kScsiHostNumberKey,
                            PropertyValue::OfNumber(Number::FromUInt64(number)));
    const AttributeFolder fc(fc_host_folder);
    if (auto v = fc.ReadText("port_id"); v && ParseHex(*v)) {
      chars->insert_or_assign(kPortIdKey,
                              PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
    }
    if (auto v = fc.ReadText("fabric_name"); v && ParseHex(*v)) {
      chars->insert_or_assign(kFabricNameKey, WwnData(*ParseHex(*v)));
    }
    const std::pair<const char*, const char*> fc_texts[] = {
        {"supported_speeds", kSupportedSpeedsKey}, {"symbolic_name", kSymbolicNameKey}};
    for (const auto& [file, key] : fc_texts) {
      if (auto v = fc.ReadText(file)) chars->insert_or_assign(key, AttributeText(*v));
    }
    Dictionary statistics;
    const AttributeFolder counters(fc_host_folder + "/statistics");
    for (const std::string& counter : ListFolder(fc_host_folder + "/statistics")) {
      auto v = counters.ReadText(counter.c_str());
      // All ones is the kernel's "not supported".
      if (!v || !ParseHex(*v) || *ParseHex(*v) == UINT64_MAX) continue;
      statistics.insert_or_assign(counter,
                                  PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
    }
    if (!statistics.empty())
      chars->insert_or_assign(kStatisticsKey, PropertyValue::OfDictionary(std::move(statistics)));

    if (auto scsi_host = ResolveInside(root_, root_ + "/class/scsi_host/" + name)) {
      const AttributeFolder host(*scsi_host);
      // A driver without a name of its own prints a null pointer's text.
      if (auto v = host.ReadText("proc_name"); v && *v != "(null)" && *v != "<NULL>") {
        chars->insert_or_assign(kDriverNameKey, AttributeText(*v));
      }
      // Only the names these drivers are known to publish; lpfc's fwrev, qla2xxx's fw_version.
      for (const char* file : {"fwrev", "fw_version"}) {
        if (auto v = host.ReadText(file)) {
          chars->insert_or_assign(kFirmwareVersionKey, AttributeText(*v));
          break;
        }
      }
      if (auto v = host.ReadText("driver_version")) {
        chars->insert_or_assign(kDriverVersionKey, AttributeText(*v));
      }
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
      if (auto v = ReadTextAttribute(physical_fc + "/port_name"); v && ParseHex(*v)) {
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
    for (const std::string& slot : ListFolder(root_ + "/bus/pci/slots")) {
      auto text = ReadTextAttribute(root_ + "/bus/pci/slots/" + slot + "/address");
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

  void AddRemotePorts(MemoryRegistry::Node* host, std::uint64_t host_number) {
    struct RemotePort {
      std::int64_t target_id;
      std::uint64_t channel;
      std::string name;
      std::string folder;
    };
    std::vector<RemotePort> ports;
    for (const std::string& name : ListFolder(root_ + "/class/fc_remote_ports")) {
      auto numbers = NumbersOf(name, "rport-", ":-");
      if (!numbers || (*numbers)[0] != host_number) continue;
      auto folder = ResolveInside(root_, root_ + "/class/fc_remote_ports/" + name);
      if (!folder) continue;
      auto id_text = ReadTextAttribute(*folder + "/scsi_target_id");
      if (!id_text) continue;
      auto id = ParseDecimal(*id_text);  // -1, not a target, does not parse
      if (!id || *id > INT32_MAX) continue;
      ports.push_back({static_cast<std::int64_t>(*id), (*numbers)[1], name, *folder});
    }
    std::sort(ports.begin(), ports.end(), [](const RemotePort& a, const RemotePort& b) {
      return std::tie(a.target_id, a.channel, a.name) < std::tie(b.target_id, b.channel, b.name);
    });
    for (const RemotePort& port : ports) {
      Dictionary table{{kScsiTargetIdKey, PropertyValue::Int64(port.target_id)}};
      if (auto v = ReadTextAttribute(port.folder + "/port_name"); v && ParseHex(*v)) {
        table.insert_or_assign(kRemotePortNameKey, WwnData(*ParseHex(*v)));
      }
      if (auto v = ReadTextAttribute(port.folder + "/node_name"); v && ParseHex(*v)) {
        table.insert_or_assign(kRemoteNodeNameKey, WwnData(*ParseHex(*v)));
      }
      if (auto v = ReadTextAttribute(port.folder + "/port_id"); v && ParseHex(*v)) {
        table.insert_or_assign(kRemotePortIdKey,
                               PropertyValue::Int64(static_cast<std::int64_t>(*ParseHex(*v))));
      }
      if (auto v = ReadTextAttribute(port.folder + "/port_state")) {
        table.insert_or_assign(kRemotePortStateKey, AttributeText(*v));
      }
      if (auto v = ReadTextAttribute(port.folder + "/roles")) {
        table.insert_or_assign(kRemotePortRolesKey, AttributeText(*v));
      }
      MemoryRegistry::Node* device =
          registry_->AddChild(host, kSysfsRemotePortClass, std::move(table));

      char target_name[80];
      std::snprintf(target_name, sizeof target_name, "target%" PRIu64 ":%" PRIu64 ":%" PRId64,
                    host_number, port.channel, port.target_id);
      MemoryRegistry::Node* target = registry_->AddChild(
          device, kSysfsTargetClass,
          {{kScsiTargetNameKey, PropertyValue::String(target_name)},
           {kScsiAddressKey, PropertyValue::String(target_name + std::strlen("target"))}});
      // The rport device folder is two levels above its class folder, and holds the target.
      const std::string rport_device = Parent(Parent(port.folder));
      if (Basename(rport_device) != port.name) continue;
      AddLogicalUnits(target, rport_device + "/" + target_name, host_number, port.channel,
                      port.target_id);
    }
  }

  void AddLogicalUnits(MemoryRegistry::Node* target, const std::string& folder, std::uint64_t host,
                       std::uint64_t channel, std::int64_t target_id) {
    std::vector<std::pair<std::uint64_t, std::string>> units;
    for (const std::string& name : ListFolder(folder)) {
      auto numbers = NumbersOf(name, "", ":::");
      if (!numbers || (*numbers)[0] != host || (*numbers)[1] != channel ||
          (*numbers)[2] != static_cast<std::uint64_t>(target_id)) {
        continue;
      }
      units.emplace_back((*numbers)[3], name);
    }
    std::sort(units.begin(), units.end());
    for (const auto& [lun, name] : units) AddLogicalUnit(target, folder + "/" + name, lun);
  }

  void AddLogicalUnit(MemoryRegistry::Node* target, const std::string& path, std::uint64_t lun) {
    const AttributeFolder folder(path);
    Dictionary table;
    table.insert_or_assign(kLogicalUnitNumberKey, PropertyValue::OfNumber(Number::FromUInt64(lun)));
    const auto sam = ScsiLunBytes(lun);
    table.insert_or_assign(kLogicalUnitBytesKey,
                           PropertyValue::OfData(Data(sam.begin(), sam.end())));
    const std::pair<const char*, const char*> texts[] = {{"vendor", kVendorIdentificationKey},
                                                         {"model", kProductIdentificationKey},
                                                         {"rev", kProductRevisionLevelKey}};
    for (const auto& [file, key] : texts) {
      if (auto v = folder.ReadText(file)) {
        table.insert_or_assign(key, AttributeText(TrimInquiryText(*v)));
      }
    }
    if (auto page = folder.Read("vpd_pg83", kBinaryAttributeLimit)) {
      AddIdentification(reinterpret_cast<const std::uint8_t*>(page->data()), page->size(), &table);
    }
    if (auto inquiry = folder.Read("inquiry", kBinaryAttributeLimit)) {
      if (auto alua = AluaSupportText(reinterpret_cast<const std::uint8_t*>(inquiry->data()),
                                      inquiry->size())) {
        table.insert_or_assign(kAluaSupportKey, PropertyValue::String(*alua));
      }
    }
    if (auto v = folder.ReadText("access_state")) {
      table.insert_or_assign(kAccessStateKey, AttributeText(*v));
    }
    table.insert_or_assign(kScsiAddressKey, PropertyValue::String(Basename(path)));
    if (auto v = folder.ReadText("state")) {
      table.insert_or_assign(kScsiDeviceStateKey, AttributeText(*v));
    }
    if (auto v = folder.FirstNameIn("block")) {
      table.insert_or_assign(kBlockDeviceKey, AttributeText(*v));
    }
    if (auto v = folder.FirstNameIn("scsi_generic")) {
      table.insert_or_assign(kScsiGenericDeviceKey, AttributeText(*v));
    }
    registry_->AddChild(target, kSysfsLogicalUnitClass, std::move(table));
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

  std::string root_;
  MemoryRegistry* registry_;
};

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
      auto previous = ReadTextAttribute(folder + "/" + (*change)->attribute);
      auto number = previous ? ParseDecimal(*previous) : std::nullopt;
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
  SettingsDriver(std::string root, std::map<const MemoryRegistry::Node*, HostPlace> hosts,
                 AttributeWriter& writer, std::ostream& errors)
      : root_(std::move(root)), hosts_(std::move(hosts)), writer_(writer), errors_(errors) {}

  Status operator()(MemoryRegistry::Node& node, const Dictionary& settings) const {
    auto it = hosts_.find(&node);
    if (it == hosts_.end()) return kRegistryUnsupported;
    const HostPlace& host = it->second;
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
  std::map<const MemoryRegistry::Node*, HostPlace> hosts_;
  AttributeWriter& writer_;
  std::ostream& errors_;
};

}  // namespace

std::unique_ptr<MemoryRegistry> BuildSysfsRegistry(const std::string& root, std::string* error) {
  return BuildSysfsRegistry(root, ProcessAttributeWriter(), std::cerr, error);
}

std::unique_ptr<MemoryRegistry> BuildSysfsRegistry(const std::string& root, AttributeWriter& writer,
                                                   std::ostream& errors, std::string* error) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr || !IsFolder(resolved)) {
    *error = root + ": " + std::strerror(errno ? errno : ENOTDIR);
    return nullptr;
  }
  auto registry = std::make_unique<MemoryRegistry>();
  Builder builder(resolved, registry.get());
  builder.Build();
  registry->SetDriver(SettingsDriver(resolved, std::move(builder.hosts), writer, errors));
  return registry;
}

void RescanSysfsHosts(const std::string& root, AttributeWriter& writer, std::ostream& errors) {
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) == nullptr) return;
  const std::string tree = resolved;
  for (const FibreChannelHost& host : FibreChannelHosts(tree)) {
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
