#include "listing/full_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;

// A Fibre Channel port over a device over a target over one unit with these properties.
TwinRegistry Host(const std::string& unit) {
  return TwinRegistry(testing::HostText(
      R"({"class": "FcPort", "properties": {
        "Protocol Characteristics": {"Physical Interconnect": "Fibre Channel Interface"},
        "Controller Characteristics": {"Node World Wide Name": {"$data": "2000000000000001"}}},
      "children": [{"class": "Dev", "children": [{"class": "Tgt", "children": [
        {"class": "Unit", "properties": )" +
          unit + "}]}]}]}",
      R"({"FcPort": "KestritUserSCSIParallelInterfaceController",
        "KestritUserSCSIParallelInterfaceController": "KestritSCSIParallelInterfaceController",
        "Dev": "KestritSCSIParallelInterfaceDevice", "Tgt": "KestritSCSITargetDevice"})"));
}

std::string Section(DeviceRegistry& registry) {
  std::ostringstream out;
  PrintTargetSection(registry, out);
  return out.str();
}

TEST(PrintLunBlock, LunBlocks) {
  for (const auto& row : testing::Rows("listing/lun_blocks.txt")) {
    TwinRegistry registry(
        testing::HostText(R"({"class": "Unit", "properties": )" + row.at(0) + "}"));
    std::ostringstream out;
    PrintLunBlock(LunView{registry, registry.First("Unit")}, out);
    EXPECT_EQ(out.str(), row.at(1)) << row[0];
  }
}

TEST(PrintTargetSection, FailuresLeaveOutOnlyWhatTheyTouch) {
  // The interconnect is named below the controller too, where the controller's unreadable table
  // does not hide it.
  TwinRegistry registry = Host(R"({"SCSI Logical Unit Number": 1, "Protocol Characteristics":
      {"Physical Interconnect": "Fibre Channel Interface"}})");
  registry.failures[TwinRegistry::kReadProperty] = {kIoError, "FcPort"};
  EXPECT_EQ(Section(registry), "LUNs:\n\nSCSI Logical Unit @ 1\n\n\n");
  registry.failures[TwinRegistry::kChildIterator] = {kIoError, "Dev"};
  EXPECT_EQ(Section(registry), "");
}

TEST(PrintFullReport, AListThatCannotBeHadEndsItsSection) {
  TwinRegistry registry = Host(R"({"SCSI Logical Unit Number": 1})");
  const auto report = [&registry] {
    std::ostringstream out;
    PrintFullReport(registry, out);
    return out.str();
  };
  registry.failures[TwinRegistry::kMatch] = {kIoError, kScsiControllerClass};
  EXPECT_EQ(report(), "\nControllers\n\n    PortWWN invalid\nTargets\n\n\n\n");
  registry.failures[TwinRegistry::kMatch] = {kIoError, ""};
  EXPECT_EQ(report(), "\nControllers\n\n");
}

TEST(FormatPaddedWWN, PadsOrCutsToEightBytes) {
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6})), "01:02:03:04:05:06:00:00");
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), "01:02:03:04:05:06:07:08");
  EXPECT_FALSE(FormatPaddedWWN(std::nullopt));
}

}  // namespace
}  // namespace halvane
