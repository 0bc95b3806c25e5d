// Builds small sysfs trees laid out as the kernel lays them out: class links pointing into
// devices/, relative like the kernel's, with the hosts under their PCI functions, remote ports
// under hosts, targets under remote ports and logical units under targets.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace halvane::testing {

using Attributes = std::map<std::string, std::string>;

class FakeSysfs {
 public:
  explicit FakeSysfs(std::string root) : root_(std::move(root)) {}
  const std::string& root() const { return root_; }

  // Text attributes are written with the kernel's one trailing line end.
  void AddHost(int host, const std::string& pci, const Attributes& fc_host,
               const Attributes& scsi_host);
  // An NPIV virtual port: host sits under vport-<physical>:0-<vport> under the physical host.
  void AddVport(int physical, int vport, int host, const Attributes& fc_host,
                const Attributes& scsi_host);
  void AddSlot(const std::string& name, const std::string& address);
  // A remote port; with target_id >= 0 also its SCSI target and fc_transport entry.
  void AddRemotePort(int host, int channel, int number, int target_id, const Attributes& rport);
  // A logical unit of a target created by AddRemotePort; binary attributes are written as given.
  void AddLun(int host, int channel, int number, int target_id, std::uint64_t lun,
              const Attributes& text, const Attributes& binary);

  std::string HostFolder(int host) const;      // devices/.../hostN
  std::string ScsiHostFolder(int host) const;  // devices/.../hostN/scsi_host/hostN

  static void WriteFile(const std::string& path, const std::string& content);

 private:
  void Link(const std::string& target, const std::string& link) const;
  std::string TargetFolder(int host, int channel, int number, int target_id) const;

  std::string root_;
  std::map<int, std::string> host_pci_;
  std::map<int, std::string> vport_folder_;  // the folder holding a virtual port's host
};

// Bytes from hexadecimal text ("00 83 00 04 ..."; spaces ignored).
std::string HexBytes(const std::string& hex);

}  // namespace halvane::testing
