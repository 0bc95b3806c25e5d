#include "listing/full_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "listing/inventory_document.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;

TEST(PrintLunBlock, LunBlocks) {
  for (const auto& row : testing::Rows("listing/lun_blocks.txt")) {
    TwinRegistry registry(
        testing::HostText(R"({"class": "Unit", "properties": )" + row.at(0) + "}"));
    std::ostringstream out;
    PrintLunBlock(LunView{registry, registry.First("Unit")}, out);
    EXPECT_EQ(out.str(), row.at(1)) << row[0];
  }
}

// A list that cannot be had ends its section; other failures leave out only what they touch.
TEST(PrintFullReport, FailuresLeaveOutOnlyWhatTheyTouch) {
  // A Fibre Channel port over a device over a target over one unit, whose interconnect is named
  // below the port too, where the port's unreadable table does not hide it.
  TwinRegistry registry(testing::HostText(
      R"({"class": "FcPort", "properties": {
        "Protocol Characteristics": {"Physical Interconnect": "Fibre Channel Interface"},
        "Controller Characteristics": {"Node World Wide Name": {"$data": "2000000000000001"}}},
      "children": [{"class": "Dev", "children": [{"class": "Tgt", "children": [
        {"class": "Unit", "properties": {"SCSI Logical Unit Number": 1,
          "Protocol Characteristics": {"Physical Interconnect": "Fibre Channel Interface"}}}]}]}]})",
      R"({"FcPort": "KestritUserSCSIParallelInterfaceController",
        "KestritUserSCSIParallelInterfaceController": "KestritSCSIParallelInterfaceController",
        "Dev": "KestritSCSIParallelInterfaceDevice", "Tgt": "KestritSCSITargetDevice"})"));
  const auto print = [&registry](bool whole) {
    std::ostringstream out;
    whole ? PrintFullReport(registry, out) : PrintTargetSection(registry, out);
    return out.str();
  };
  registry.failures[TwinRegistry::kMatch] = {kIoError, kScsiControllerClass};
  EXPECT_EQ(print(true), "\nControllers\n\n    PortWWN invalid\nTargets\n\n\n\n");
  registry.failures[TwinRegistry::kMatch] = {kIoError, ""};
  EXPECT_EQ(print(true), "\nControllers\n\n");
  registry.failures = {{TwinRegistry::kReadProperty, {kIoError, "FcPort"}}};
  EXPECT_EQ(print(false), "LUNs:\n\nSCSI Logical Unit @ 1\n\n\n");
  registry.failures[TwinRegistry::kChildIterator] = {kIoError, "Dev"};
  EXPECT_EQ(print(false), "");
}

TEST(FormatPaddedWWN, PadsOrCutsToEightBytes) {
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6})), "01:02:03:04:05:06:00:00");
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), "01:02:03:04:05:06:07:08");
  EXPECT_FALSE(FormatPaddedWWN(std::nullopt));
}

// Driver texts are bytes: the document stays UTF-8 and valid JSON whatever they hold, and shows a
// text up to its first zero character, as the text report does; speeds in any order are listed
// rising, each once.
TEST(InventoryDocument, TextsAreEscapedAndMadeUtf8) {
  TwinRegistry registry(testing::HostText(
      testing::PortEntry("{}"),
      R"({"KestritUserSCSIParallelInterfaceController": "KestritSCSIParallelInterfaceController"})"));
  // A text that is not UTF-8, which no snapshot holds.
  registry.values.emplace(
      kControllerCharacteristicsKey,
      testing::Dict({{"Port Topology", testing::Str(std::string("a\"b\\c\x01\xff\xc3\xa9\0x", 11))},
                     {"Port Speed", testing::Num(8)},
                     {"Supported Speeds", testing::Str("16 Gbit, 4 Gbit, 16 Gbit")},
                     {"Port Number", PropertyValue::OfNumber(Number::FromDouble(1))}}));
  std::ostringstream out;
  PrintInventoryDocument(registry, out);
  EXPECT_EQ(out.str(),
            "{\n  \"schema\": \"halvane-inventory/2\",\n  \"controllers\": [\n    {\n"
            "      \"port_name\": \"invalid\",\n"
            "      \"topology\": \"a\\\"b\\\\c\\u0001\xef\xbf\xbd\xc3\xa9\",\n"
            "      \"supported_speeds_gbit\": [\n        4,\n        16\n      ]\n    }\n  ],\n"
            "  \"multipath\": []\n}\n");
}

}  // namespace
}  // namespace halvane
