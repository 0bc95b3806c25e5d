#include "sysfs/sysfs_topology.h"

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <tuple>

#include "registry/vocabulary.h"
#include "sysfs/sysfs_names.h"

namespace halvane {
namespace {

// A PCI slot's address ("dddd:bb:dd", hexadecimal) in the form the kernel writes a device's
// address with, to compare with one; nothing for a text of any other form.
std::optional<std::string> SlotAddress(std::string_view text) {
  unsigned fields[3];
  for (unsigned& field : fields) {
    const std::size_t colon = &field == &fields[2] ? text.size() : text.find(':');
    const auto value =
        colon == std::string_view::npos ? std::nullopt : ParseHexNumber(text.substr(0, colon), 8);
    if (!value) return std::nullopt;
    field = static_cast<unsigned>(*value);
    text.remove_prefix(std::min(text.size(), colon + 1));
  }
  char address[32];
  std::snprintf(address, sizeof address, "%04x:%02x:%02x", fields[0], fields[1], fields[2]);
  return address;
}

}  // namespace

std::vector<FibreChannelHost> FibreChannelHosts(SysfsReader& reader, const std::string& root,
                                                Failures* failed) {
  std::vector<FibreChannelHost> hosts;
  for (const std::string& name : Taken(reader.List(root + "/class/fc_host"), failed)) {
    auto n = NumbersOf(name, "host", "");
    if (!n) continue;
    auto folder = Taken(reader.Resolve(root + "/class/fc_host/" + name), failed);
    if (folder && reader.IsFolder(*folder)) hosts.push_back({(*n)[0], name, *folder});
  }
  std::sort(hosts.begin(), hosts.end(), [](const FibreChannelHost& a, const FibreChannelHost& b) {
    return std::tie(a.number, a.name) < std::tie(b.number, b.name);
  });
  return hosts;
}

std::string DeviceOf(const std::string& fc_folder) { return Parent(Parent(fc_folder)); }

std::optional<std::string> ScsiHostFolder(SysfsReader& reader, const std::string& root,
                                          const std::string& host_name, const std::string& device) {
  // A link that cannot be followed is refused as one that leads elsewhere.
  const Reading resolved = reader.Resolve(root + "/class/scsi_host/" + host_name);
  const std::optional<std::string> folder = resolved.ok() ? *resolved : std::nullopt;
  if (!folder || *folder != device + "/scsi_host/" + host_name || !reader.IsFolder(*folder))
    return std::nullopt;
  return folder;
}

bool IsVirtualPort(const std::string& root, const std::string& folder) {
  for (std::string f = folder; f.size() > root.size(); f = Parent(f)) {
    if (NumbersOf(Basename(f), "vport-", ":-")) return true;
  }
  return false;
}

std::optional<PhysicalPort> PhysicalPortOf(const std::string& fc_folder) {
  // A virtual port's host sits under its vport, which sits under the physical port's host.
  const std::string vport = Parent(DeviceOf(fc_folder));
  const std::string physical = Parent(vport);
  auto number = NumbersOf(Basename(physical), "host", "");
  if (Basename(vport).substr(0, 6) != "vport-" || !number) return std::nullopt;
  return PhysicalPort{(*number)[0], physical + "/fc_host/" + Basename(physical)};
}

std::optional<std::string> PciFunctionOf(const std::string& root, const std::string& fc_folder) {
  for (std::string folder = Parent(fc_folder); folder.size() > root.size();
       folder = Parent(folder)) {
    if (IsPciAddress(Basename(folder))) return folder;
  }
  return std::nullopt;
}

std::optional<std::string> SlotOf(SysfsReader& reader, const std::string& root,
                                  const std::string& address, Failures* failed) {
  const std::string device = address.substr(0, 10);
  const std::string slots = root + "/bus/pci/slots";
  for (const std::string& slot : Taken(reader.List(slots), failed)) {
    const auto text = Taken(reader.ReadText(slots + "/" + slot, "address"), failed);
    if (text && SlotAddress(*text) == device) return slot;
  }
  return std::nullopt;
}

std::vector<std::string> VirtualPortsOf(SysfsReader& reader, const std::string& root,
                                        std::uint64_t host, Failures* failed) {
  std::vector<std::string> folders;
  const std::string vports = root + "/class/fc_vports";
  for (const std::string& name : Taken(reader.List(vports), failed)) {
    auto numbers = NumbersOf(name, "vport-", ":-");
    if (!numbers || (*numbers)[0] != host) continue;
    if (auto folder = Taken(reader.Resolve(vports + "/" + name), failed))
      folders.push_back(*folder);
  }
  return folders;
}

std::vector<MapPlace> MultipathMaps(SysfsReader& reader, const std::string& root,
                                    Failures* failed) {
  std::vector<std::pair<std::uint64_t, MapPlace>> maps;
  for (const std::string& name : Taken(reader.List(root + "/block"), failed)) {
    auto number = NumbersOf(name, "dm-", "");
    if (!number) continue;
    auto folder = Taken(reader.Resolve(root + "/block/" + name), failed);
    auto uuid = folder ? Taken(reader.ReadText(*folder + "/dm", "uuid"), failed) : std::nullopt;
    if (uuid && MultipathMapWwid(*uuid)) maps.push_back({(*number)[0], {name, *folder}});
  }
  std::sort(maps.begin(), maps.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<MapPlace> places;
  for (auto& [unused, place] : maps) places.push_back(std::move(place));
  return places;
}

std::vector<RemotePortPlace> RemotePortsOf(SysfsReader& reader, const std::string& root,
                                           std::uint64_t host, Failures* failed) {
  std::vector<RemotePortPlace> ports;
  const std::string remote_ports = root + "/class/fc_remote_ports";
  for (const std::string& name : Taken(reader.List(remote_ports), failed)) {
    auto numbers = NumbersOf(name, "rport-", ":-");
    if (!numbers || (*numbers)[0] != host) continue;
    if (auto folder = Taken(reader.Resolve(remote_ports + "/" + name), failed))
      ports.push_back({name, *folder, (*numbers)[1], 0});
  }
  return ports;
}

std::vector<RemotePortPlace> TargetPorts(SysfsReader& reader, const std::string& root,
                                         std::uint64_t host, Failures* failed) {
  std::vector<RemotePortPlace> ports;
  for (RemotePortPlace& port : RemotePortsOf(reader, root, host, failed)) {
    auto id_text = Taken(reader.ReadText(port.folder, "scsi_target_id"), failed);
    auto id = id_text ? ParseDecimal(*id_text) : std::nullopt;  // -1, not a target, does not parse
    if (!id || *id > INT32_MAX) continue;
    port.target_id = static_cast<std::int64_t>(*id);
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
    return std::tie(a.target_id, a.channel, a.name) < std::tie(b.target_id, b.channel, b.name);
  });
  return ports;
}

TargetPlace TargetOf(std::uint64_t host, const RemotePortPlace& port) {
  char name[80];
  std::snprintf(name, sizeof name, "target%" PRIu64 ":%" PRIu64 ":%" PRId64, host, port.channel,
                port.target_id);
  const std::string rport_device = Parent(Parent(port.folder));
  return {name, Basename(rport_device) == port.name ? rport_device + "/" + name : std::string()};
}

std::vector<UnitPlace> UnitsOf(SysfsReader& reader, const std::string& target_folder,
                               std::uint64_t host, std::uint64_t channel, std::int64_t target_id,
                               Failures* failed) {
  std::vector<UnitPlace> units;
  if (target_folder.empty()) return units;
  for (const std::string& name : Taken(reader.ListFolders(target_folder), failed)) {
    auto numbers = NumbersOf(name, "", ":::");
    if (!numbers || (*numbers)[0] != host || (*numbers)[1] != channel ||
        (*numbers)[2] != static_cast<std::uint64_t>(target_id)) {
      continue;
    }
    units.push_back({(*numbers)[3], name, target_folder + "/" + name});
  }
  std::sort(units.begin(), units.end(), [](const UnitPlace& a, const UnitPlace& b) {
    return std::tie(a.lun, a.name) < std::tie(b.lun, b.name);
  });
  return units;
}

}  // namespace halvane
