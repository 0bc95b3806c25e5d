#include "listing/full_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;
using testing::Num;
using testing::Str;

class TargetSection : public ::testing::Test {
 protected:
  TargetSection() {
    registry_.DeclareClass("FcPort", kUserControllerClass);
    registry_.DeclareClass(kUserControllerClass, kScsiControllerClass);
    registry_.DeclareClass("Dev", kScsiDeviceClass);
    registry_.DeclareClass("Tgt", kScsiTargetClass);
    root_ = registry_.SetRoot("Root");
  }
  MemoryRegistry::Node* Controller() {
    return registry_.AddChild(
        root_, "FcPort",
        {{"Protocol Characteristics",
          Dict({{"Physical Interconnect", Str("Fibre Channel Interface")}})},
         {"Controller Characteristics",
          Dict({{"Node World Wide Name", Bytes({0x20, 0, 0, 0, 0, 0, 0, 1})}})}});
  }
  // controller -> device -> target -> one unit with these properties
  MemoryRegistry::Node* Unit(MemoryRegistry::Node* controller, Dictionary props) {
    auto* target = registry_.AddChild(registry_.AddChild(controller, "Dev"), "Tgt");
    return registry_.AddChild(target, "Unit", std::move(props));
  }
  std::string Section() {
    std::ostringstream out;
    PrintTargetSection(registry_, out);
    return out.str();
  }
  std::string Report() {
    std::ostringstream out;
    PrintFullReport(registry_, out);
    return out.str();
  }
  FailingRegistry registry_;
  MemoryRegistry::Node* root_;
};

TEST_F(TargetSection, LunBlocks) {
  for (const auto& row : testing::Rows("listing/lun_blocks.txt")) {
    std::ostringstream out;
    auto* unit = registry_.AddChild(root_, "Unit", testing::Properties(row.at(0)));
    PrintLunBlock(LunView{registry_, MemoryRegistry::EntryFor(unit)}, out);
    EXPECT_EQ(out.str(), row.at(1)) << row[0];
  }
}

TEST_F(TargetSection, FailuresLeaveOutOnlyWhatTheyTouch) {
  auto* controller = Controller();
  // The interconnect is named below the controller too, where the controller's unreadable table
  // does not hide it.
  Unit(controller, {{"SCSI Logical Unit Number", Num(1)},
                    {"Protocol Characteristics",
                     Dict({{"Physical Interconnect", Str("Fibre Channel Interface")}})}});
  registry_.FailOperation(FailingRegistry::Operation::kReadProperty, kIoError, "FcPort");
  EXPECT_EQ(Section(), "LUNs:\n\nSCSI Logical Unit @ 1\n\n\n");

  registry_.FailOperation(FailingRegistry::Operation::kChildIterator, kIoError, "Dev");
  EXPECT_EQ(Section(), "");
}

TEST_F(TargetSection, AListThatCannotBeHadEndsItsSection) {
  Unit(Controller(), {{"SCSI Logical Unit Number", Num(1)}});
  registry_.FailOperation(FailingRegistry::Operation::kMatch, kIoError, kScsiControllerClass);
  EXPECT_EQ(Report(), "\nControllers\n\n    PortWWN invalid\nTargets\n\n\n\n");
  registry_.FailOperation(FailingRegistry::Operation::kMatch, kIoError);
  EXPECT_EQ(Report(), "\nControllers\n\n");
}

TEST(FormatPaddedWWN, PadsOrCutsToEightBytes) {
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6})), "01:02:03:04:05:06:00:00");
  EXPECT_EQ(*FormatPaddedWWN(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), "01:02:03:04:05:06:07:08");
  EXPECT_FALSE(FormatPaddedWWN(std::nullopt));
}

}  // namespace
}  // namespace halvane
