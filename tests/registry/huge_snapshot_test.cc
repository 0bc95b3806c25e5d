// Snapshots far larger than any host's, which the tool must still list whole (ctest's timeout
// bounds the time). They take a while, so they run apart from the other hostile snapshots.
#include <gtest/gtest.h>

#include <fstream>

#include "support/run_binary.h"

namespace halvane {
namespace {

TEST(HostileSnapshot, HugeAndWideSnapshotsStillList) {
  testing::TempDir dir;
  // About 100 MB of padding around one port, and a target with 100,000 logical units.
  {
    std::ofstream out(dir.path() + "/big.json", std::ios::binary);
    out << R"({"root": {"class": "Root", "properties": {)";
    const std::string chunk(100000, 'x');
    for (int i = 0; i < 1000; ++i)
      out << (i ? "," : "") << "\"pad" << i << "\": \"" << chunk << "\"";
    out << "}, \"children\": [" << testing::kOnePortEntry << "]}}";
  }
  {
    std::ofstream out(dir.path() + "/wide.json", std::ios::binary);
    out << R"({"classes": {"KestritUserSCSIParallelInterfaceController": "KestritSCSIParallelInterfaceController",
      "D": "KestritSCSIParallelInterfaceDevice", "T": "KestritSCSITargetDevice"},
      "root": {"class": "KestritUserSCSIParallelInterfaceController", "properties": {
        "Protocol Characteristics": {"Physical Interconnect": "Fibre Channel Interface"},
        "Controller Characteristics": {}},
      "children": [{"class": "D", "children": [{"class": "T", "children": [)";
    for (int i = 0; i < 100000; ++i)
      out << (i ? "," : "") << R"({"class": "U", "properties": {"SCSI Logical Unit Number": )" << i
          << "}}";
    out << "]}]}]}}";
  }
  const auto big = testing::RunHalvane({"-l"}, testing::WithRegistry(dir.path() + "/big.json"));
  EXPECT_EQ(big.status, 0);
  EXPECT_EQ(big.out, "\nControllers\n\n    PortWWN 00:11:22:33:44:55:66:77\nTargets\n\n\n\n");
  const auto wide = testing::RunHalvane({"-l"}, testing::WithRegistry(dir.path() + "/wide.json"));
  EXPECT_EQ(wide.status, 0);
  std::size_t headings = 0;
  for (std::size_t at = 0; (at = wide.out.find("SCSI Logical Unit @ ", at)) != std::string::npos;
       ++at)
    ++headings;
  EXPECT_EQ(headings, 100000u);
  EXPECT_NE(wide.out.find("SCSI Logical Unit @ 99999\n\n\n\n\n"), std::string::npos);
}

}  // namespace
}  // namespace halvane
