#include "host/host_rescan.h"

#include "base/text.h"
#include "sysfs/sysfs_rescan.h"

namespace halvane {
namespace {

class SysfsHostRescan : public HostRescan {
 public:
  explicit SysfsHostRescan(HostEnvironment environment) : environment_(std::move(environment)) {}
  void RescanFibreChannelHosts(std::optional<std::uint64_t> host, std::ostream& errors) override {
    if (!environment_.refused.ok()) {
      errors << "halvane: " << Escaped{environment_.refused.message()} << "\n";
      return;
    }
    if (!environment_.snapshot.empty()) return;
    RescanSysfsHosts(environment_.sysfs_root, host, nullptr, errors);
  }
  void DescribeRescan(std::optional<std::uint64_t> host, std::ostream& plan,
                      std::ostream& errors) override {
    if (!environment_.snapshot.empty()) return;
    RescanSysfsHosts(environment_.sysfs_root, host, nullptr, errors, &plan);
  }

 private:
  HostEnvironment environment_;
};

}  // namespace

std::unique_ptr<HostRescan> MakeHostRescan(const HostEnvironment& environment) {
  return std::make_unique<SysfsHostRescan>(environment);
}

}  // namespace halvane
