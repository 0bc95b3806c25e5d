#include "host/host_rescan.h"

#include "sysfs/sysfs_rescan.h"

namespace halvane {
namespace {

class SysfsHostRescan : public HostRescan {
 public:
  explicit SysfsHostRescan(HostEnvironment environment) : environment_(std::move(environment)) {}
  std::vector<Status> RescanFibreChannelHosts(std::optional<std::uint64_t> host) override {
    if (!environment_.refused.ok()) return {environment_.refused};
    if (!environment_.snapshot.empty()) return {};
    return RescanSysfsHosts(environment_.sysfs_root, host, nullptr).failures;
  }
  // The plan refuses as the run would: a dry run says what the real one would do, or refuse.
  Plan DescribeRescan(std::optional<std::uint64_t> host) override {
    if (!environment_.refused.ok()) return Plan{{}, {environment_.refused}};
    if (!environment_.snapshot.empty()) return {};
    RescanReport report =
        RescanSysfsHosts(environment_.sysfs_root, host, nullptr, RescanUse::kPlan);
    return Plan{std::move(report.plan), std::move(report.failures)};
  }

 private:
  HostEnvironment environment_;
};

}  // namespace

std::unique_ptr<HostRescan> MakeHostRescan(const HostEnvironment& environment) {
  return std::make_unique<SysfsHostRescan>(environment);
}

}  // namespace halvane
