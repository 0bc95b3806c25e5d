#include "inventory/controller_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Dict;
using testing::Str;

std::string Block(Dictionary chars) {
  MemoryRegistry registry;
  auto* port = registry.AddChild(registry.SetRoot("Root"), kUserControllerClass,
                                 {{"Controller Characteristics", Dict(std::move(chars))}});
  std::ostringstream out;
  EXPECT_TRUE(PrintPortBlock(registry, MemoryRegistry::EntryFor(port), out).ok());
  return out.str();
}

TEST(PrintPortBlock, LinesTheirOrderAndWhatLeavesThemOut) {
  for (const auto& row : testing::Rows("inventory/port_blocks.txt"))
    EXPECT_EQ(Block(testing::Properties(row.at(0))), row.at(1)) << row[0];
  EXPECT_EQ(Block({{"Port Speed", Str("8 G\xFF")}}), "    PortWWN invalid\n");  // not UTF-8
}

TEST(PrintControllerSection, PortsInRegistryOrderAndAFailedDiscoveryAnswersItsStatus) {
  FailingRegistry registry;
  auto* root = registry.SetRoot("Root");
  std::ostringstream out;
  EXPECT_TRUE(PrintControllerSection(registry, out).ok());
  EXPECT_EQ(out.str(), "");

  auto chars = [](const char* cable) {
    Dictionary d{{"Port Status", Str("Online")}};
    if (cable) d.insert_or_assign("Fibre Channel Cabling Type", Str(cable));
    return Dictionary{{"Controller Characteristics", Dict(d)}};
  };
  registry.AddChild(root, kUserControllerClass, chars(nullptr));
  registry.AddChild(root, kUserControllerClass, {});
  registry.AddChild(root, kUserControllerClass, chars("Copper"));
  EXPECT_TRUE(PrintControllerSection(registry, out).ok());
  EXPECT_EQ(out.str(),
            "    PortWWN invalid\n        Port Status: Online\n"
            "    PortWWN invalid\n        Port Status: Online\n         Cable Type: Copper\n\n");

  registry.FailOperation(FailingRegistry::Operation::kMatch, kIoError);
  EXPECT_EQ(PrintControllerSection(registry, out).code(), kIoError);
}

}  // namespace
}  // namespace halvane
