#include <gtest/gtest.h>

#include "sysfs/sysfs_nvme.h"

namespace halvane {
namespace {

// The addresses an NVMe controller publishes: only Fibre Channel ones, in the two forms the
// transport accepts, give a port; a name a digit short or long, or a field missing, gives none.
TEST(NvmeNames, ControllerAddresses) {
  const std::string long_form =
      "traddr=nn-0x200000109b000001:pn-0x100000109b000002,host_traddr=nn-0x20000090fa000003:"
      "pn-0x10000090FA000004";
  const std::pair<std::string, std::optional<std::array<std::uint64_t, 4>>> cases[] = {
      {long_form, std::array<std::uint64_t, 4>{0x200000109b000001, 0x100000109b000002,
                                               0x20000090fa000003, 0x10000090fa000004}},
      {"host_traddr=nn-20000090fa000003:pn-10000090fa000004,trsvcid=none,"
       "traddr=nn-200000109b000001:pn-100000109b000002",
       std::array<std::uint64_t, 4>{0x200000109b000001, 0x100000109b000002, 0x20000090fa000003,
                                    0x10000090fa000004}},
      {"traddr=nn-0x200000109b000001:pn-0x100000109b000002", std::nullopt},
      {"traddr=nn-0x200000109b000001:pn-0x100000109b00002,host_traddr=nn-0x20000090fa000003:"
       "pn-0x10000090fa000004",
       std::nullopt},
      {"traddr=nn-0x200000109b000001:pn-0x100000109b000002,host_traddr=nn-0x20000090fa000003:"
       "pn-0x10000090fa0000045",
       std::nullopt},
      {"traddr=nn-0x200000109b000001:pn-0x100000109b00000g,host_traddr=nn-0x20000090fa000003:"
       "pn-0x10000090fa000004",
       std::nullopt},
      {"traddr=pn-0x100000109b000002:nn-0x200000109b000001,host_traddr=nn-0x20000090fa000003:"
       "pn-0x10000090fa000004",
       std::nullopt},
      {"traddr=192.168.1.5,trsvcid=4420,host_traddr=192.168.1.2", std::nullopt},
      {"traddr,host_traddr", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, names] : cases) {
    SCOPED_TRACE(text);
    const auto address = ParseNvmeFcAddress(text);
    ASSERT_EQ(address.has_value(), names.has_value());
    if (!names) continue;
    EXPECT_EQ(address->remote.node, (*names)[0]);
    EXPECT_EQ(address->remote.port, (*names)[1]);
    EXPECT_EQ(address->host.node, (*names)[2]);
    EXPECT_EQ(address->host.port, (*names)[3]);
  }
}

// Ids as the kernel prints them ("%pU", "%8ph"), and what is not one of the size asked for.
TEST(NvmeNames, IdBytes) {
  const std::tuple<std::string, std::size_t, std::optional<Data>> cases[] = {
      {"00112233-4455-6677-8899-aabbccddeeff", 16,
       Data{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd,
            0xee, 0xff}},
      {"00 25 38 8B 01 00 00 01", 8, Data{0x00, 0x25, 0x38, 0x8b, 0x01, 0x00, 0x00, 0x01}},
      {"0025388b01000001", 8, Data{0x00, 0x25, 0x38, 0x8b, 0x01, 0x00, 0x00, 0x01}},
      {"00 25 38 8b 01 00 00", 8, std::nullopt},
      {"00 25 38 8b 01 00 00 01 02", 8, std::nullopt},
      {"00 25 38 8b 01 00 00 0", 8, std::nullopt},
      {" 00 25 38 8b 01 00 00 01", 8, std::nullopt},
      {"00 25 38 8b 01 00 00 01 ", 8, std::nullopt},
      {"0 025 38 8b 01 00 00 01", 8, std::nullopt},
      {"00:25:38:8b:01:00:00:01", 8, std::nullopt},
      {"", 8, std::nullopt},
  };
  for (const auto& [text, size, bytes] : cases) EXPECT_EQ(ParseIdBytes(text, size), bytes) << text;
}

}  // namespace
}  // namespace halvane
