#include <gtest/gtest.h>

#include "sysfs/sysfs_nvme.h"

namespace halvane {
namespace {

// The addresses an NVMe controller publishes: only Fibre Channel ones, in the two forms the
// transport accepts, give a port; a name a digit short or long, or a field missing, gives none.
TEST(NvmeNames, ControllerAddresses) {
  const std::string remote = "nn-0x200000109b000001:pn-0x100000109b000002";
  const std::string host = "nn-0x20000090fa000003:pn-0x10000090FA000004";
  const std::pair<std::string, bool> cases[] = {
      {"traddr=" + remote + ",host_traddr=" + host, true},
      {"host_traddr=nn-20000090fa000003:pn-10000090fa000004,trsvcid=none,"
       "traddr=nn-200000109b000001:pn-100000109b000002",
       true},
      {"traddr=" + remote, false},
      {"traddr=" + remote.substr(0, 42) + ",host_traddr=" + host, false},
      {"traddr=" + remote + "5,host_traddr=" + host, false},
      {"traddr=" + remote.substr(0, 42) + "g,host_traddr=" + host, false},
      {"traddr=pn-0x100000109b000002:nn-0x200000109b000001,host_traddr=" + host, false},
      {"traddr=192.168.1.5,trsvcid=4420,host_traddr=192.168.1.2", false},
  };
  for (const auto& [text, valid] : cases) {
    const auto address = ParseNvmeFcAddress(text);
    ASSERT_EQ(address.has_value(), valid) << text;
    if (!valid) continue;
    EXPECT_EQ(address->remote.node, 0x200000109b000001u);
    EXPECT_EQ(address->remote.port, 0x100000109b000002u);
    EXPECT_EQ(address->host.node, 0x20000090fa000003u);
    EXPECT_EQ(address->host.port, 0x10000090fa000004u);
  }
}

}  // namespace
}  // namespace halvane
