#include <gtest/gtest.h>

#include <sstream>

#include "support/run_binary.h"
#include "sysfs/sysfs_nvme.h"

namespace halvane {
namespace {

// The rows of tests/sysfs/nvme_addresses.txt: the four names each address gives, or none.
TEST(NvmeNames, ControllerAddresses) {
  for (const auto& row : testing::Rows("sysfs/nvme_addresses.txt")) {
    const auto address = ParseNvmeFcAddress(row.at(0));
    std::ostringstream names;
    if (address) {
      names << std::hex << address->remote.node << ' ' << address->remote.port << ' '
            << address->host.node << ' ' << address->host.port;
    }
    EXPECT_EQ(address ? names.str() : "none", row.at(1)) << row[0];
  }
}

}  // namespace
}  // namespace halvane
