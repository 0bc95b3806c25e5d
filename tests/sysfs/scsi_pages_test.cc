#include "sysfs/scsi_pages.h"

#include <gtest/gtest.h>

#include "support/run_binary.h"
#include "sysfs/sysfs_names.h"

namespace halvane {
namespace {

TEST(ScsiPages, LunFormsAndIdentificationPages) {
  const std::pair<std::uint64_t, std::array<std::uint8_t, 8>> luns[] = {
      {0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {1, {0, 1, 0, 0, 0, 0, 0, 0}},
      {256, {1, 0, 0, 0, 0, 0, 0, 0}},
      {16385, {0x40, 1, 0, 0, 0, 0, 0, 0}},
      {1073758208, {0x40, 0, 0x40, 0, 0, 0, 0, 0}},
      {184799748, {0xd2, 4, 0x0b, 3, 0, 0, 0, 0}},
  };
  for (const auto& [lun, bytes] : luns) EXPECT_EQ(ScsiLunBytes(lun), bytes) << lun;
  const std::string page = testing::Unescape(
      "\\x00\\x83\\x00\\x10\\x01\\x03\\x00\\x04\\x60\\x01\\x12\\x23\\x02\\x00\\x00\\x04abcd");
  auto parse = [](const std::string& p, std::size_t size) {
    return ParseDeviceIdentificationPage(reinterpret_cast<const std::uint8_t*>(p.data()), size);
  };
  EXPECT_EQ(parse(page, page.size()).size(), 2u);
  EXPECT_EQ(parse(page, page.size() - 1).size(), 1u);  // the second runs past the bytes
  std::string shorter = page;
  shorter[3] = 0x0b;  // the page's own length ends inside the second descriptor
  EXPECT_EQ(parse(shorter, shorter.size()).size(), 1u);
  shorter[3] = 0x0f;  // one byte short of the second's end: the length counts from byte 4
  EXPECT_EQ(parse(shorter, shorter.size()).size(), 1u);
  shorter[3] = 0x10;
  EXPECT_EQ(parse(shorter, shorter.size()).size(), 2u);
  shorter[1] = static_cast<char>(0x80);
  EXPECT_TRUE(parse(shorter, shorter.size()).empty());
  EXPECT_TRUE(parse(page, 3).empty());
  EXPECT_EQ(parse(testing::Unescape("\\x00\\x83\\x00\\x04\\x01\\x03\\x00\\x00"), 8).size(),
            1u);  // empty
  const auto d = parse(page, page.size());
  EXPECT_EQ(d[1].code_set, 2);
  EXPECT_EQ(d[1].type, 0);
  EXPECT_EQ(std::string(d[1].bytes.begin(), d[1].bytes.end()), "abcd");
}

// Folder names carry their numbers in decimal, each whole: anything else is not such a folder.
TEST(SysfsNames, NumbersOfFolderNames) {
  EXPECT_EQ(NumbersOf("rport-7:0-12", "rport-", ":-"), (std::vector<std::uint64_t>{7, 0, 12}));
  for (const char* name : {"rport-7:0-1x", "rport-7:0", "rport--1:0-1", "host", "host3a"})
    EXPECT_FALSE(NumbersOf(name, name[0] == 'r' ? "rport-" : "host", name[0] == 'r' ? ":-" : ""))
        << name;
  EXPECT_EQ(ParseDecimal("18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(ParseDecimal("18446744073709551616"));
}

}  // namespace
}  // namespace halvane
