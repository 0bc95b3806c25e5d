#include "sysfs/sysfs_tables.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "registry/vocabulary.h"
#include "sysfs/attribute_copy.h"
#include "sysfs/scsi_pages.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_nvme.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

// Where a driver publishes the adapter's identity, among its scsi_host attributes.
struct HbaIdentity {
  const char* driver;
  const char* model;
  const char* description;
  const char* serial;
  const char* firmware;
  const char* driver_version;
};
constexpr HbaIdentity kHbaIdentities[] = {
    {"lpfc", "modelname", "modeldesc", "serialnum", "fwrev", "lpfc_drvr_version"},
    {"qla2xxx", "model_name", "model_desc", "serial_num", "fw_version", "driver_version"},
    {"bfa", "model", "model_description", "serial_number", "firmware_version", "driver_version"},
    {"fnic", nullptr, nullptr, nullptr, nullptr, "drv_version"},
};
// The Fibre Channel transport's own host attributes, which zfcp, qedf and the FCoE drivers fill.
constexpr HbaIdentity kTransportIdentity = {
    nullptr, "model", "model_description", "serial_number", "firmware_version", "driver_version"};

// A WWN attribute in the kernel's "0x%llx" form, under key.
void CopyWwn(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
             Dictionary* table) {
  if (auto v = Kept(reader.ReadText(folder, file), key, table); v && ParseHex(*v))
    table->insert_or_assign(key, WwnData(*ParseHex(*v)));
}

bool IsCounterName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The port's place in the fabric, as the transport publishes it.
void AddFabricLogin(SysfsReader& reader, const std::string& fc_folder, Dictionary* chars) {
  // 0 is the kernel's "none" for both: the address of a port whose link is down, the name of the
  // fabric of a port logged in to none (point-to-point, VN2VN, a link being reset).
  if (auto v = Kept(reader.ReadText(fc_folder, "port_id"), kPortIdKey, chars);
      v && ParseHex(*v).value_or(0) != 0) {
    chars->insert_or_assign(kPortIdKey, PropertyValue::UInt64(*ParseHex(*v)));
  }
  if (auto v = Kept(reader.ReadText(fc_folder, "fabric_name"), kFabricNameKey, chars);
      v && ParseHex(*v).value_or(0) != 0)
    chars->insert_or_assign(kFabricNameKey, WwnData(*ParseHex(*v)));
  CopyText(reader, fc_folder, "supported_speeds", kSupportedSpeedsKey, chars);
  CopyText(reader, fc_folder, "symbolic_name", kSymbolicNameKey, chars);
}

// The transport's counters of the port.
void AddStatistics(SysfsReader& reader, const std::string& fc_folder, Dictionary* chars) {
  Dictionary statistics;
  const std::string counters = fc_folder + "/statistics";
  for (const std::string& counter : Kept(reader.List(counters), kStatisticsKey, chars)) {
    // The transport names its counters as C names (fc_host_statistic, scsi_transport_fc.c); a
    // file of any other name is none of them, and a name that is not text could not be
    // captured: two such names may write the same.
    if (!IsCounterName(counter)) continue;
    auto v = Kept(reader.ReadText(counters, counter.c_str()), kStatisticsKey, chars);
    // All ones is the kernel's "not supported".
    if (!v || !ParseHex(*v) || *ParseHex(*v) == UINT64_MAX) continue;
    statistics.insert_or_assign(counter, PropertyValue::UInt64(*ParseHex(*v)));
  }
  if (!statistics.empty())
    chars->insert_or_assign(kStatisticsKey, PropertyValue::OfDictionary(std::move(statistics)));
}

// The driver's name, from the host's scsi_host folder (answered, when it resolves) or the PCI
// function's driver link.
std::optional<std::string> AddDriverName(SysfsReader& reader, const std::string& root,
                                         const std::string& fc_folder, const std::string& name,
                                         std::optional<std::string>* driver, Dictionary* chars) {
  const auto scsi_host =
      Kept(reader.Resolve(root + "/class/scsi_host/" + name), kDriverNameKey, chars);
  // A driver without a name of its own prints a null pointer's text; the PCI function's driver
  // link names it then.
  if (auto v = scsi_host ? Kept(reader.ReadText(*scsi_host, "proc_name"), kDriverNameKey, chars)
                         : std::nullopt;
      v && *v != "(null)" && *v != "<NULL>") {
    *driver = *v;
  } else if (auto pci = PciFunctionOf(root, fc_folder)) {
    if (auto bound = Kept(reader.Resolve(*pci + "/driver"), kDriverNameKey, chars))
      *driver = Basename(*bound);
  }
  if (*driver) chars->insert_or_assign(kDriverNameKey, AttributeText(**driver));
  return scsi_host;
}

// The adapter's identity as its driver publishes it in scsi_host, or the transport in fc_folder.
void AddAdapterIdentity(SysfsReader& reader, const std::string& fc_folder,
                        const std::optional<std::string>& scsi_host,
                        const std::optional<std::string>& driver, Dictionary* chars) {
  const std::pair<const char * HbaIdentity::*, const char*> members[] = {
      {&HbaIdentity::model, kModelKey},
      {&HbaIdentity::description, kModelDescriptionKey},
      {&HbaIdentity::serial, kSerialNumberKey},
      {&HbaIdentity::firmware, kFirmwareVersionKey},
      {&HbaIdentity::driver_version, kDriverVersionKey}};
  for (const auto& [member, key] : members) {
    // The driver's own row; for a driver that names itself nowhere, every row in turn; then the
    // transport's own attributes, which some drivers fill instead.
    std::optional<std::string> value;
    for (const HbaIdentity& row : kHbaIdentities) {
      if (value || (driver && *driver != row.driver) || !scsi_host || row.*member == nullptr)
        continue;
      value = Kept(reader.ReadText(*scsi_host, row.*member), key, chars);
    }
    if (!value) value = Kept(reader.ReadText(fc_folder, kTransportIdentity.*member), key, chars);
    if (value && !value->empty()) chars->insert_or_assign(key, AttributeText(*value));
  }
}

// The NPIV virtual ports made on the host, each with its name and state.
void AddVirtualPorts(SysfsReader& reader, const std::string& root, std::uint64_t number,
                     Dictionary* chars) {
  Array vports;
  Failures failed;
  const std::vector<std::string> vport_folders = VirtualPortsOf(reader, root, number, &failed);
  for (const Status& failure : failed) RecordReadFailure(chars, kVirtualPortsKey, failure);
  for (const std::string& vport : vport_folders) {
    Dictionary item;
    CopyWwn(reader, vport, "port_name", kPortWorldWideNameKey, &item);
    CopyText(reader, vport, "vport_state", kPortStateKey, &item);
    for (const ReadFailure& failure : RecordedFailures(item, {}))
      RecordReadFailure(chars, kVirtualPortsKey, failure);
    vports.push_back(PropertyValue::OfDictionary(std::move(item)));
  }
  if (!vports.empty())
    chars->insert_or_assign(kVirtualPortsKey, PropertyValue::OfArray(std::move(vports)));
}

// What the kernel and the driver publish about a host beyond what the port block shows: an
// inventory for scripts.
void AddHostInventory(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                      std::uint64_t number, const std::string& name, bool counters,
                      Dictionary* chars) {
  chars->insert_or_assign(kScsiHostNumberKey, PropertyValue::UInt64(number));
  AddFabricLogin(reader, fc_folder, chars);
  if (counters) AddStatistics(reader, fc_folder, chars);
  // The driver's name, and the adapter's identity as the driver publishes it.
  std::optional<std::string> driver;
  const auto scsi_host = AddDriverName(reader, root, fc_folder, name, &driver, chars);
  AddAdapterIdentity(reader, fc_folder, scsi_host, driver, chars);
  AddVirtualPorts(reader, root, number, chars);
  // A virtual port's physical port, the one whose link it shares.
  if (auto physical = PhysicalPortOf(fc_folder)) {
    chars->insert_or_assign(kPhysicalScsiHostNumberKey, PropertyValue::UInt64(physical->number));
    CopyWwn(reader, physical->fc_folder, "port_name", kPhysicalPortWorldWideNameKey, chars);
  }
}

void AddIdentification(const std::uint8_t* page, std::size_t size, Dictionary* table) {
  const std::vector<Designator> designators = ParseDeviceIdentificationPage(page, size);
  Array items;
  const Designator* naa = nullptr;
  const Designator* eui = nullptr;
  for (const Designator& d : designators) {
    const bool text = d.code_set == 2 || d.code_set == 3;
    items.push_back(PropertyValue::OfDictionary({
        {kCodeSetKey, PropertyValue::Int64(d.code_set)},
        {kIdentifierTypeKey, PropertyValue::Int64(d.type)},
        {kAssociationKey, PropertyValue::Int64(d.association)},
        {kIdentifierKey, text ? AttributeText(std::string(d.bytes.begin(), d.bytes.end()))
                              : PropertyValue::OfData(d.bytes)},
    }));
    if (d.association == 0 && d.type == kDesignatorNaa && naa == nullptr) naa = &d;
    if (d.association == 0 && d.type == kDesignatorEui64 && eui == nullptr) eui = &d;
  }
  if (!designators.empty())
    table->insert_or_assign(kDeviceIdentificationKey, PropertyValue::OfArray(std::move(items)));
  if (const Designator* id = naa ? naa : eui)
    table->insert_or_assign(kUniqueIdentifierKey, PropertyValue::OfData(id->bytes));
}

// A multipath map's path that is an NVMe namespace's own disk: its controller and the
// controller's state and, for a controller over Fibre Channel, the port names of its address
// (host_traddr our port, traddr the remote port), as the port's NVMe controllers are found.
void AddNvmePath(SysfsReader& reader, const std::string& controller, Dictionary* path) {
  path->insert_or_assign(kNvmeControllerKey, AttributeText(Basename(controller)));
  CopyText(reader, controller, "state", kNvmeControllerStateKey, path);
  if (Kept(reader.ReadText(controller, "transport"), kNvmeControllerKey, path) != "fc") return;
  const auto text = Kept(reader.ReadText(controller, "address"), kNvmeControllerKey, path);
  if (const auto address = text ? ParseNvmeFcAddress(*text) : std::nullopt) {
    path->insert_or_assign(kPortWorldWideNameKey, WwnData(address->host.port));
    path->insert_or_assign(kRemotePortNameKey, WwnData(address->remote.port));
  }
}

// A path of a map, whose failed reads the map's own table records too (for kMapPathsKey), so that
// every report that reads the map's paths meets them; the path keeps its own, which say which
// of its values could not be read.
void AddMapPath(Dictionary path, Array* paths, Dictionary* table) {
  for (const ReadFailure& failure : RecordedFailures(path, {}))
    RecordReadFailure(table, kMapPathsKey, failure);
  paths->push_back(PropertyValue::OfDictionary(std::move(path)));
}

// The vendor, product and revision texts of a unit. The kernel's vendor, model and rev files are
// the bytes 8 to 35 of the unit's saved INQUIRY response, which its inquiry file holds whole, at
// least 36 bytes ("%.8s\n" of inquiry + 8, scsi_add_lun): taken from there, as the files would
// read (up to a zero byte, then up to a line end), they cost no read of their own. A unit without
// such a response has them read from the files.
void AddInquiryTexts(SysfsReader& reader, const std::string& folder,
                     const std::optional<std::string>& inquiry, Dictionary* table) {
  static const struct {
    const char* file;
    const char* key;
    std::size_t offset, size;
  } kTexts[] = {{"vendor", kVendorIdentificationKey, 8, 8},
                {"model", kProductIdentificationKey, 16, 16},
                {"rev", kProductRevisionLevelKey, 32, 4}};
  for (const auto& text : kTexts) {
    std::optional<std::string> value;
    if (inquiry && inquiry->size() >= 36) {
      std::string_view bytes = std::string_view(*inquiry).substr(text.offset, text.size);
      bytes = bytes.substr(0, bytes.find('\0'));
      value = std::string(bytes.substr(0, bytes.find('\n')));
    } else {
      value = Kept(reader.ReadText(folder, text.file), text.key, table);
    }
    if (value) table->insert_or_assign(text.key, AttributeText(TrimInquiryText(*value)));
  }
}

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

PropertyValue HostTable(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                        std::uint64_t number, const std::string& name, bool counters) {
  Dictionary chars;
  CopyWwn(reader, fc_folder, "port_name", kPortWorldWideNameKey, &chars);
  CopyWwn(reader, fc_folder, "node_name", kNodeWorldWideNameKey, &chars);
  CopyText(reader, fc_folder, "port_state", kPortStatusKey, &chars);
  CopyText(reader, fc_folder, "speed", kPortSpeedKey, &chars);
  if (auto type = Kept(reader.ReadText(fc_folder, "port_type"), kPortTopologyKey, &chars)) {
    chars.insert_or_assign(kPortTopologyKey, AttributeText(*type));
    // Only a loop port has an arbitrated-loop address: the low byte of its port id.
    if (*type == "NLPort (fabric via loop)" || *type == "LPort (private loop)") {
      if (auto id = Kept(reader.ReadText(fc_folder, "port_id"), kAlpaKey, &chars);
          id && ParseHex(*id)) {
        chars.insert_or_assign(
            kAlpaKey, PropertyValue::OfData({static_cast<std::uint8_t>(*ParseHex(*id) & 0xFF)}));
      }
    }
  }
  if (auto pci = PciFunctionOf(root, fc_folder)) {
    const std::string address = Basename(*pci);
    chars.insert_or_assign(kPortNumberKey, PropertyValue::Int64(address[11] - '0'));
    Failures failed;
    const std::optional<std::string> slot = SlotOf(reader, root, address, &failed);
    for (const Status& failure : failed) RecordReadFailure(&chars, kSlotKey, failure);
    chars.insert_or_assign(kSlotKey, AttributeText(slot.value_or(address)));
    chars.insert_or_assign(kPciAddressKey, AttributeText(address));
    if (slot) chars.insert_or_assign(kPciSlotKey, AttributeText(*slot));
  }
  AddHostInventory(reader, root, fc_folder, number, name, counters, &chars);
  return PropertyValue::OfDictionary(
      {{kProtocolCharacteristicsKey,
        PropertyValue::OfDictionary(
            {{kPhysicalInterconnectKey, PropertyValue::String(kFibreChannelInterconnect)}})},
       {kControllerCharacteristicsKey, PropertyValue::OfDictionary(std::move(chars))}});
}

PropertyValue RemotePortTable(SysfsReader& reader, const std::string& folder,
                              std::int64_t target_id) {
  Dictionary table{{kScsiTargetIdKey, PropertyValue::Int64(target_id)}};
  CopyWwn(reader, folder, "port_name", kRemotePortNameKey, &table);
  CopyWwn(reader, folder, "node_name", kRemoteNodeNameKey, &table);
  if (auto v = Kept(reader.ReadText(folder, "port_id"), kRemotePortIdKey, &table);
      v && ParseHex(*v)) {
    table.insert_or_assign(kRemotePortIdKey,
                           PropertyValue::Int64(static_cast<std::int64_t>(*ParseHex(*v))));
  }
  CopyText(reader, folder, "port_state", kRemotePortStateKey, &table);
  CopyText(reader, folder, "roles", kRemotePortRolesKey, &table);
  CopyNumber(reader, folder, "dev_loss_tmo", kDeviceLossTimeoutKey, &table);
  // "off" when there is none.
  CopyNumber(reader, folder, "fast_io_fail_tmo", kFastFailTimeoutKey, &table);
  return PropertyValue::OfDictionary(std::move(table));
}

UnitGroup UnitGroupOf(std::string_view key) {
  static const std::pair<std::string_view, UnitGroup> kKeys[] = {
      {kVendorIdentificationKey, UnitGroup::kIdentity},
      {kProductIdentificationKey, UnitGroup::kIdentity},
      {kProductRevisionLevelKey, UnitGroup::kIdentity},
      {kDeviceIdentificationKey, UnitGroup::kIdentity},
      {kUniqueIdentifierKey, UnitGroup::kIdentity},
      {kAluaSupportKey, UnitGroup::kIdentity},
      {kAccessStateKey, UnitGroup::kIdentity},
      {kBlockDeviceKey, UnitGroup::kBlockDevice},
      {kMultipathMapKey, UnitGroup::kBlockDevice},
      {kScsiDeviceStateKey, UnitGroup::kInventory},
      {kPeripheralTypeKey, UnitGroup::kInventory},
      {kWorldWideIdKey, UnitGroup::kInventory},
      {kQueueDepthKey, UnitGroup::kInventory},
      {kScsiGenericDeviceKey, UnitGroup::kInventory},
      {kCapacityKey, UnitGroup::kInventory},
      {kLogicalBlockSizeKey, UnitGroup::kInventory},
  };
  for (const auto& [name, group] : kKeys) {
    if (name == key) return group;
  }
  return UnitGroup::kNone;
}

Dictionary UnitBasics(const std::string& name, std::uint64_t lun) {
  const auto sam = ScsiLunBytes(lun);
  return Dictionary{{kLogicalUnitNumberKey, PropertyValue::UInt64(lun)},
                    {kLogicalUnitBytesKey, PropertyValue::OfData(Data(sam.begin(), sam.end()))},
                    {kScsiAddressKey, PropertyValue::String(name)}};
}

void AddUnitGroup(SysfsReader& reader, const std::string& folder, UnitGroup group,
                  Dictionary* table) {
  switch (group) {
    case UnitGroup::kNone:
      return;
    case UnitGroup::kIdentity: {
      const auto inquiry = Kept(reader.ReadBinary(folder, "inquiry"), kAluaSupportKey, table);
      AddInquiryTexts(reader, folder, inquiry, table);
      if (auto page = Kept(reader.ReadBinary(folder, "vpd_pg83"), kDeviceIdentificationKey, table))
        AddIdentification(Bytes(*page), page->size(), table);
      if (inquiry) {
        if (auto alua = AluaSupportText(Bytes(*inquiry), inquiry->size()))
          table->insert_or_assign(kAluaSupportKey, PropertyValue::String(*alua));
      }
      CopyText(reader, folder, "access_state", kAccessStateKey, table);
      return;
    }
    case UnitGroup::kBlockDevice: {
      const auto block = Kept(reader.FirstNameIn(folder, "block"), kBlockDeviceKey, table);
      if (!block) return;
      table->insert_or_assign(kBlockDeviceKey, AttributeText(*block));
      CopyHoldingMap(reader, folder + "/block/" + *block, table);
      return;
    }
    case UnitGroup::kInventory: {
      CopyText(reader, folder, "state", kScsiDeviceStateKey, table);
      CopyNumber(reader, folder, "type", kPeripheralTypeKey, table);
      CopyText(reader, folder, "wwid", kWorldWideIdKey, table);
      CopyNumber(reader, folder, "queue_depth", kQueueDepthKey, table);
      if (auto v = Kept(reader.FirstNameIn(folder, "scsi_generic"), kScsiGenericDeviceKey, table))
        table->insert_or_assign(kScsiGenericDeviceKey, AttributeText(*v));
      const PropertyValue* block = FindMember(*table, kBlockDeviceKey);
      if (block && block->AsString()) {
        const std::string device = folder + "/block/" + *block->AsString();
        CopyCapacity(reader, device, table);
        CopyNumber(reader, device + "/queue", "logical_block_size", kLogicalBlockSizeKey, table);
      }
      return;
    }
  }
}

PropertyValue MapTable(SysfsReader& reader, const std::string& root, const std::string& folder,
                       const std::string& device) {
  Dictionary table{{kMapDeviceKey, PropertyValue::String(device)}};
  CopyText(reader, folder + "/dm", "name", kMapNameKey, &table);
  CopyText(reader, folder + "/dm", "uuid", kMapUuidKey, &table);
  CopyCapacity(reader, folder, &table);
  Array paths;
  for (const std::string& slave : Kept(reader.List(folder + "/slaves"), kMapPathsKey, &table)) {
    Dictionary path{{kBlockDeviceKey, AttributeText(slave)}};
    // The block device's SCSI device: H:C:T:L, below its target, below its remote port when it
    // is reached through Fibre Channel. A namespace's own disk (nvme_core.multipath=N, when
    // multipathd joins the paths) has its NVMe controller for device instead.
    if (auto unit =
            Kept(reader.Resolve(folder + "/slaves/" + slave + "/device"), kMapPathsKey, &path)) {
      const std::string address = Basename(*unit);
      if (NumbersOf(address, "nvme", "")) {
        AddNvmePath(reader, *unit, &path);
        AddMapPath(std::move(path), &paths, &table);
        continue;
      }
      // Any transport's SCSI device (Fibre Channel, iSCSI, SAS, SATA) has its state; a device of
      // another kind (a virtio disk's) is no SCSI device, and the path names none.
      const auto numbers = NumbersOf(address, "", ":::");
      if (numbers) {
        path.insert_or_assign(kScsiAddressKey, AttributeText(address));
        CopyText(reader, *unit, "state", kScsiDeviceStateKey, &path);
      }
      const std::string rport = Parent(Parent(*unit));
      if (numbers && NumbersOf(Basename(rport), "rport-", ":-")) {
        const std::string host = "host" + std::to_string((*numbers)[0]);
        if (auto fc = Kept(reader.Resolve(root + "/class/fc_host/" + host), kMapPathsKey, &path))
          CopyWwn(reader, *fc, "port_name", kPortWorldWideNameKey, &path);
        CopyWwn(reader, rport + "/fc_remote_ports/" + Basename(rport), "port_name",
                kRemotePortNameKey, &path);
      }
    }
    AddMapPath(std::move(path), &paths, &table);
  }
  table.insert_or_assign(kMapPathsKey, PropertyValue::OfArray(std::move(paths)));
  return PropertyValue::OfDictionary(std::move(table));
}

}  // namespace halvane
