#include "sysfs/sysfs_tables.h"

#include <climits>
#include <cstring>

#include "registry/vocabulary.h"
#include "sysfs/scsi_pages.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

// The text of the attribute file in folder under key, when the file reads.
void CopyText(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
              Dictionary* table) {
  if (auto v = reader.ReadText(folder, file)) table->insert_or_assign(key, AttributeText(*v));
}

// A WWN attribute under key, when it reads as one.
void CopyWwn(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
             Dictionary* table) {
  if (auto v = reader.ReadText(folder, file); v && ParseHex(*v))
    table->insert_or_assign(key, WwnData(*ParseHex(*v)));
}

// What the kernel and the driver publish about a host beyond what the port block shows: an
// inventory for scripts.
void AddHostInventory(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                      std::uint64_t number, const std::string& name, Dictionary* chars) {
  chars->insert_or_assign(kScsiHostNumberKey, PropertyValue::OfNumber(Number::FromUInt64(number)));
  if (auto v = reader.ReadText(fc_folder, "port_id"); v && ParseHex(*v)) {
    chars->insert_or_assign(kPortIdKey, PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
  }
  CopyWwn(reader, fc_folder, "fabric_name", kFabricNameKey, chars);
  CopyText(reader, fc_folder, "supported_speeds", kSupportedSpeedsKey, chars);
  CopyText(reader, fc_folder, "symbolic_name", kSymbolicNameKey, chars);
  Dictionary statistics;
  const std::string counters = fc_folder + "/statistics";
  for (const std::string& counter : reader.List(counters)) {
    auto v = reader.ReadText(counters, counter.c_str());
    // All ones is the kernel's "not supported".
    if (!v || !ParseHex(*v) || *ParseHex(*v) == UINT64_MAX) continue;
    statistics.insert_or_assign(counter,
                                PropertyValue::OfNumber(Number::FromUInt64(*ParseHex(*v))));
  }
  if (!statistics.empty())
    chars->insert_or_assign(kStatisticsKey, PropertyValue::OfDictionary(std::move(statistics)));

  if (auto scsi_host = reader.Resolve(root + "/class/scsi_host/" + name)) {
    // A driver without a name of its own prints a null pointer's text.
    if (auto v = reader.ReadText(*scsi_host, "proc_name"); v && *v != "(null)" && *v != "<NULL>")
      chars->insert_or_assign(kDriverNameKey, AttributeText(*v));
    // Only the names these drivers are known to publish; lpfc's fwrev, qla2xxx's fw_version.
    for (const char* file : {"fwrev", "fw_version"}) {
      if (auto v = reader.ReadText(*scsi_host, file)) {
        chars->insert_or_assign(kFirmwareVersionKey, AttributeText(*v));
        break;
      }
    }
    CopyText(reader, *scsi_host, "driver_version", kDriverVersionKey, chars);
  }

  if (auto physical = PhysicalPortOf(fc_folder)) {
    chars->insert_or_assign(kPhysicalScsiHostNumberKey,
                            PropertyValue::OfNumber(Number::FromUInt64(physical->number)));
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
  if (const Designator* id = naa ? naa : eui)
    table->insert_or_assign(kUniqueIdentifierKey, PropertyValue::OfData(id->bytes));
}

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

PropertyValue HostTable(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                        std::uint64_t number, const std::string& name) {
  Dictionary chars;
  CopyWwn(reader, fc_folder, "port_name", kPortWorldWideNameKey, &chars);
  CopyWwn(reader, fc_folder, "node_name", kNodeWorldWideNameKey, &chars);
  CopyText(reader, fc_folder, "port_state", kPortStatusKey, &chars);
  CopyText(reader, fc_folder, "speed", kPortSpeedKey, &chars);
  if (auto type = reader.ReadText(fc_folder, "port_type")) {
    chars.insert_or_assign(kPortTopologyKey, AttributeText(*type));
    // Only a loop port has an arbitrated-loop address: the low byte of its port id.
    if (*type == "NLPort (fabric via loop)" || *type == "LPort (private loop)") {
      if (auto id = reader.ReadText(fc_folder, "port_id"); id && ParseHex(*id)) {
        chars.insert_or_assign(
            kAlpaKey, PropertyValue::OfData({static_cast<std::uint8_t>(*ParseHex(*id) & 0xFF)}));
      }
    }
  }
  if (auto pci = PciFunctionOf(root, fc_folder)) {
    const std::string address = Basename(*pci);
    chars.insert_or_assign(kPortNumberKey, PropertyValue::Int64(address[11] - '0'));
    chars.insert_or_assign(kSlotKey, AttributeText(SlotOf(reader, root, address)));
  }
  AddHostInventory(reader, root, fc_folder, number, name, &chars);
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
  if (auto v = reader.ReadText(folder, "port_id"); v && ParseHex(*v)) {
    table.insert_or_assign(kRemotePortIdKey,
                           PropertyValue::Int64(static_cast<std::int64_t>(*ParseHex(*v))));
  }
  CopyText(reader, folder, "port_state", kRemotePortStateKey, &table);
  CopyText(reader, folder, "roles", kRemotePortRolesKey, &table);
  return PropertyValue::OfDictionary(std::move(table));
}

PropertyValue UnitTable(SysfsReader& reader, const std::string& folder, const std::string& name,
                        std::uint64_t lun) {
  Dictionary table;
  table.insert_or_assign(kLogicalUnitNumberKey, PropertyValue::OfNumber(Number::FromUInt64(lun)));
  const auto sam = ScsiLunBytes(lun);
  table.insert_or_assign(kLogicalUnitBytesKey, PropertyValue::OfData(Data(sam.begin(), sam.end())));
  const std::pair<const char*, const char*> texts[] = {{"vendor", kVendorIdentificationKey},
                                                       {"model", kProductIdentificationKey},
                                                       {"rev", kProductRevisionLevelKey}};
  for (const auto& [file, key] : texts) {
    if (auto v = reader.ReadText(folder, file))
      table.insert_or_assign(key, AttributeText(TrimInquiryText(*v)));
  }
  if (auto page = reader.Read(folder, "vpd_pg83", kBinaryAttributeLimit))
    AddIdentification(Bytes(*page), page->size(), &table);
  if (auto inquiry = reader.Read(folder, "inquiry", kBinaryAttributeLimit)) {
    if (auto alua = AluaSupportText(Bytes(*inquiry), inquiry->size()))
      table.insert_or_assign(kAluaSupportKey, PropertyValue::String(*alua));
  }
  CopyText(reader, folder, "access_state", kAccessStateKey, &table);
  table.insert_or_assign(kScsiAddressKey, PropertyValue::String(name));
  CopyText(reader, folder, "state", kScsiDeviceStateKey, &table);
  if (auto v = reader.FirstNameIn(folder, "block"))
    table.insert_or_assign(kBlockDeviceKey, AttributeText(*v));
  if (auto v = reader.FirstNameIn(folder, "scsi_generic"))
    table.insert_or_assign(kScsiGenericDeviceKey, AttributeText(*v));
  return PropertyValue::OfDictionary(std::move(table));
}

}  // namespace halvane
