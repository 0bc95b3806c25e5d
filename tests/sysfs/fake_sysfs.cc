#include "sysfs/fake_sysfs.h"

#include <filesystem>
#include <fstream>

namespace halvane::testing {

namespace fs = std::filesystem;

void FakeSysfs::WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void FakeSysfs::Link(const std::string& target, const std::string& link) const {
  const fs::path at = root_ + "/" + link;
  fs::create_directories(at.parent_path());
  fs::create_directory_symlink(fs::relative(root_ + "/" + target, at.parent_path()), at);
}

std::string FakeSysfs::HostFolder(int host) const {
  if (auto it = vport_folder_.find(host); it != vport_folder_.end())
    return it->second + "/host" + std::to_string(host);
  return "devices/pci0000:00/0000:00:03.0/" + host_pci_.at(host) + "/host" + std::to_string(host);
}

std::string FakeSysfs::ScsiHostFolder(int host) const {
  return HostFolder(host) + "/scsi_host/host" + std::to_string(host);
}

void FakeSysfs::AddHost(int host, const std::string& pci, const Attributes& fc_host,
                        const Attributes& scsi_host) {
  host_pci_[host] = pci;
  const std::string h = "host" + std::to_string(host);
  const std::string folder = HostFolder(host);
  WriteFile(root_ + "/devices/pci0000:00/0000:00:03.0/" + pci + "/vendor", "0x10df\n");
  for (const auto& [name, value] : fc_host)
    WriteFile(root_ + "/" + folder + "/fc_host/" + h + "/" + name, value + "\n");
  for (const auto& [name, value] : scsi_host)
    WriteFile(root_ + "/" + ScsiHostFolder(host) + "/" + name, value + "\n");
  fs::create_directories(root_ + "/" + folder + "/fc_host/" + h);
  fs::create_directories(root_ + "/" + ScsiHostFolder(host));
  Link(folder + "/fc_host/" + h, "class/fc_host/" + h);
  Link(ScsiHostFolder(host), "class/scsi_host/" + h);
  Link(folder, folder + "/fc_host/" + h + "/device");
  Link(folder, ScsiHostFolder(host) + "/device");
}

void FakeSysfs::AddVport(int physical, int vport, int host, const Attributes& fc_host,
                         const Attributes& scsi_host) {
  vport_folder_[host] =
      HostFolder(physical) + "/vport-" + std::to_string(physical) + ":0-" + std::to_string(vport);
  AddHost(host, host_pci_.at(physical), fc_host, scsi_host);
}

void FakeSysfs::AddSlot(const std::string& name, const std::string& address) {
  WriteFile(root_ + "/bus/pci/slots/" + name + "/address", address + "\n");
}

std::string FakeSysfs::TargetFolder(int host, int channel, int number, int target_id) const {
  const std::string hc = std::to_string(host) + ":" + std::to_string(channel);
  return HostFolder(host) + "/rport-" + hc + "-" + std::to_string(number) + "/target" + hc + ":" +
         std::to_string(target_id);
}

void FakeSysfs::AddRemotePort(int host, int channel, int number, int target_id,
                              const Attributes& rport) {
  const std::string name = "rport-" + std::to_string(host) + ":" + std::to_string(channel) + "-" +
                           std::to_string(number);
  const std::string folder = HostFolder(host) + "/" + name;
  const std::string cls = folder + "/fc_remote_ports/" + name;
  for (const auto& [attr, value] : rport) WriteFile(root_ + "/" + cls + "/" + attr, value + "\n");
  WriteFile(root_ + "/" + cls + "/scsi_target_id", std::to_string(target_id) + "\n");
  Link(cls, "class/fc_remote_ports/" + name);
  Link(folder, cls + "/device");
  if (target_id < 0) return;
  const std::string target = TargetFolder(host, channel, number, target_id);
  const std::string tname = target.substr(target.find_last_of('/') + 1);
  const std::string transport = target + "/fc_transport/" + tname;
  for (const char* attr : {"port_name", "node_name", "port_id"}) {
    if (rport.count(attr)) WriteFile(root_ + "/" + transport + "/" + attr, rport.at(attr) + "\n");
  }
  Link(transport, "class/fc_transport/" + tname);
  Link(target, "bus/scsi/devices/" + tname);
}

void FakeSysfs::AddLun(int host, int channel, int number, int target_id, std::uint64_t lun,
                       const Attributes& text, const Attributes& binary) {
  const std::string hctl = std::to_string(host) + ":" + std::to_string(channel) + ":" +
                           std::to_string(target_id) + ":" + std::to_string(lun);
  const std::string folder = TargetFolder(host, channel, number, target_id) + "/" + hctl;
  WriteFile(root_ + "/" + folder + "/type", "0\n");
  for (const auto& [attr, value] : text) WriteFile(root_ + "/" + folder + "/" + attr, value + "\n");
  for (const auto& [attr, value] : binary) WriteFile(root_ + "/" + folder + "/" + attr, value);
  fs::create_directories(root_ + "/" + folder + "/scsi_device/" + hctl);
  Link(folder, folder + "/scsi_device/" + hctl + "/device");
  Link(folder + "/scsi_device/" + hctl, "class/scsi_device/" + hctl);
  Link(folder, "bus/scsi/devices/" + hctl);
}

std::string HexBytes(const std::string& hex) {
  std::string bytes;
  std::string digits;
  for (char c : hex) {
    if (c == ' ' || c == '\n') continue;
    digits += c;
    if (digits.size() == 2) {
      bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
      digits.clear();
    }
  }
  return bytes;
}

}  // namespace halvane::testing
