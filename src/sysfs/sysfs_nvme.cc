#include "sysfs/sysfs_nvme.h"

#include <algorithm>
#include <climits>
#include <tuple>

#include "registry/vocabulary.h"
#include "sysfs/attribute_copy.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_topology.h"

namespace halvane {
namespace {

// Exactly sixteen hexadecimal digits, as the kernel takes a name in a connection's address.
std::optional<std::uint64_t> NameDigits(std::string_view text) {
  return text.size() == 16 ? ParseHexNumber(text, 16) : std::nullopt;
}

// The bytes of an id as the kernel writes them ("%pU", "%8ph"); nothing unless there are
// exactly size bytes.
std::optional<Data> IdBytes(std::string_view text, std::size_t size) {
  StatusOr<Data> bytes = ParseHexBytes(text, kIdForm);
  if (!bytes.ok() || bytes->size() != size) return std::nullopt;
  return std::move(*bytes);
}

// "nn-0x<16>:pn-0x<16>" or "nn-<16>:pn-<16>", whole: the only forms the Fibre Channel transport
// accepts for a connection, so the only ones an address can hold.
std::optional<NvmeFcName> ParseName(std::string_view text) {
  const bool long_form = text.size() == 43;
  if (!long_form && text.size() != 39) return std::nullopt;
  const std::string_view nn = long_form ? "nn-0x" : "nn-";
  const std::string_view pn = long_form ? ":pn-0x" : ":pn-";
  if (text.substr(0, nn.size()) != nn || text.substr(nn.size() + 16, pn.size()) != pn)
    return std::nullopt;
  const auto node = NameDigits(text.substr(nn.size(), 16));
  const auto port = NameDigits(text.substr(nn.size() + 16 + pn.size()));
  if (!node || !port) return std::nullopt;
  return NvmeFcName{*node, *port};
}

std::optional<Data> NonZeroId(SysfsReader& reader, const std::string& folder, const char* file,
                              std::size_t size, const char* key, Dictionary* table) {
  const auto text = Kept(reader.ReadText(folder, file), key, table);
  auto bytes = text ? IdBytes(*text, size) : std::nullopt;
  // The kernel publishes no id that is all zero: such an id is not the namespace's.
  if (!bytes || std::all_of(bytes->begin(), bytes->end(), [](std::uint8_t b) { return b == 0; }))
    return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<NvmeFcAddress> ParseNvmeFcAddress(std::string_view address) {
  std::optional<NvmeFcName> remote, host;
  while (!address.empty()) {
    const std::size_t comma = address.find(',');
    const std::string_view field = address.substr(0, comma);
    const std::size_t equals = field.find('=');
    const std::string_view key = field.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : field.substr(equals + 1);
    if (key == "traddr") remote = ParseName(value);
    if (key == "host_traddr") host = ParseName(value);
    address.remove_prefix(comma == std::string_view::npos ? address.size() : comma + 1);
  }
  if (!remote || !host) return std::nullopt;
  return NvmeFcAddress{*remote, *host};
}

std::vector<NvmeControllerPlace> NvmeControllersOf(SysfsReader& reader, const std::string& root,
                                                   std::uint64_t port_name, Failures* failed) {
  std::vector<NvmeControllerPlace> controllers;
  const std::string classes = root + "/class/nvme";
  for (const std::string& name : Taken(reader.List(classes), failed)) {
    const auto number = NumbersOf(name, "nvme", "");
    if (!number) continue;
    const auto folder = Taken(reader.Resolve(classes + "/" + name), failed);
    if (!folder || Taken(reader.ReadText(*folder, "transport"), failed) != "fc") continue;
    const auto text = Taken(reader.ReadText(*folder, "address"), failed);
    const auto address = text ? ParseNvmeFcAddress(*text) : std::nullopt;
    if (address && address->host.port == port_name)
      controllers.push_back({(*number)[0], name, *folder, *address});
  }
  std::sort(controllers.begin(), controllers.end(), [](const auto& a, const auto& b) {
    return std::tie(a.instance, a.name) < std::tie(b.instance, b.name);
  });
  return controllers;
}

std::vector<NamespacePlace> NamespacesOf(SysfsReader& reader, const std::string& folder,
                                         Failures* failed) {
  std::vector<NamespacePlace> namespaces;
  for (const std::string& name : Taken(reader.ListFolders(folder), failed)) {
    if (!NumbersOf(name, "nvme", "cn") && !NumbersOf(name, "nvme", "n")) continue;
    const std::string disk = folder + "/" + name;
    const auto text = Taken(reader.ReadText(disk, "nsid"), failed);
    const auto nsid = text ? ParseDecimal(*text) : std::nullopt;
    if (nsid && *nsid <= UINT32_MAX) namespaces.push_back({*nsid, name, disk});
  }
  std::sort(namespaces.begin(), namespaces.end(), [](const auto& a, const auto& b) {
    return std::tie(a.nsid, a.name) < std::tie(b.nsid, b.name);
  });
  return namespaces;
}

std::map<std::uint64_t, std::string> RemotePortsByName(SysfsReader& reader, const std::string& root,
                                                       std::uint64_t host, Failures* failed) {
  std::map<std::uint64_t, std::string> ports;
  for (RemotePortPlace& port : RemotePortsOf(reader, root, host, failed)) {
    const auto wwn = Taken(reader.ReadText(port.folder, "port_name"), failed);
    if (const auto name = wwn ? ParseHex(*wwn) : std::nullopt)
      ports.emplace(*name, std::move(port.folder));
  }
  return ports;
}

PropertyValue NvmeControllerTable(SysfsReader& reader, const NvmeControllerPlace& place,
                                  const std::string* remote_port) {
  Dictionary table{{kNvmeControllerKey, PropertyValue::String(place.name)},
                   {kRemotePortNameKey, WwnData(place.address.remote.port)},
                   {kRemoteNodeNameKey, WwnData(place.address.remote.node)}};
  const std::pair<const char*, const char*> texts[] = {
      {"state", kNvmeControllerStateKey}, {"subsysnqn", kSubsystemNqnKey},
      {"hostnqn", kHostNqnKey},           {"model", kModelKey},
      {"serial", kSerialNumberKey},       {"firmware_rev", kFirmwareVersionKey}};
  for (const auto& [file, key] : texts) CopyText(reader, place.folder, file, key, &table);
  CopyNumber(reader, place.folder, "cntlid", kControllerIdKey, &table);
  // The remote port the controller was connected to, as the host's Fibre Channel transport has it.
  if (remote_port != nullptr) {
    if (auto id = Kept(reader.ReadText(*remote_port, "port_id"), kRemotePortIdKey, &table);
        id && ParseHex(*id)) {
      table.insert_or_assign(kRemotePortIdKey,
                             PropertyValue::Int64(static_cast<std::int64_t>(*ParseHex(*id))));
    }
    CopyText(reader, *remote_port, "port_state", kRemotePortStateKey, &table);
    CopyText(reader, *remote_port, "roles", kRemotePortRolesKey, &table);
  }
  return PropertyValue::OfDictionary(std::move(table));
}

PropertyValue NamespaceTable(SysfsReader& reader, const std::string& root,
                             const NamespacePlace& place) {
  Dictionary table{{kNamespaceIdKey, PropertyValue::UInt64(place.nsid)}};
  // A path's namespace is the head disk of the same subsystem and instance numbers; its ids and
  // size are the head's, which is the disk that has a device node.
  std::string disk = place.folder;
  if (const auto numbers = NumbersOf(place.name, "nvme", "cn")) {
    table.insert_or_assign(kPathDeviceKey, AttributeText(place.name));
    const std::string head =
        "nvme" + std::to_string((*numbers)[0]) + "n" + std::to_string((*numbers)[2]);
    const auto folder = Kept(reader.Resolve(root + "/block/" + head), kBlockDeviceKey, &table);
    if (folder && Basename(*folder) == head && reader.IsFolder(*folder)) {
      disk = *folder;
      table.insert_or_assign(kBlockDeviceKey, AttributeText(head));
    }
  } else {
    table.insert_or_assign(kBlockDeviceKey, AttributeText(place.name));
  }
  CopyText(reader, disk, "wwid", kWorldWideIdKey, &table);
  const auto nguid = NonZeroId(reader, disk, "nguid", 16, kNguidKey, &table);
  const auto eui = NonZeroId(reader, disk, "eui", 8, kEui64Key, &table);
  // The uuid file shows the NGUID when there is no UUID; the wwid names a real one.
  std::optional<Data> uuid;
  const PropertyValue* wwid = FindMember(table, kWorldWideIdKey);
  if (const std::string* text = wwid ? wwid->AsString() : nullptr;
      text && text->rfind("uuid.", 0) == 0)
    uuid = IdBytes(std::string_view(*text).substr(5), 16);
  const std::pair<const std::optional<Data>&, const char*> ids[] = {
      {nguid, kNguidKey}, {eui, kEui64Key}, {uuid, kNamespaceUuidKey}};
  for (const auto& [id, key] : ids) {
    if (id) table.insert_or_assign(key, PropertyValue::OfData(*id));
  }
  if (const auto& id = nguid ? nguid : eui ? eui : uuid)
    table.insert_or_assign(kUniqueIdentifierKey, PropertyValue::OfData(*id));
  CopyCapacity(reader, disk, &table);
  CopyNumber(reader, disk + "/queue", "logical_block_size", kLogicalBlockSizeKey, &table);
  // Without native multipath, multipathd may join the controllers' own disks into a map.
  CopyHoldingMap(reader, disk, &table);
  CopyText(reader, place.folder, "ana_state", kAnaStateKey, &table);
  CopyNumber(reader, place.folder, "ana_grpid", kAnaGroupKey, &table);
  return PropertyValue::OfDictionary(std::move(table));
}

}  // namespace halvane
