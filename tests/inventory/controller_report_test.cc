#include "inventory/controller_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "registry/memory_registry.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;
using testing::Num;
using testing::Str;

std::string Block(Dictionary chars) {
  MemoryRegistry registry;
  auto* port = registry.AddChild(registry.SetRoot("Root"), kUserControllerClass,
                                 {{"Controller Characteristics", Dict(std::move(chars))}});
  std::ostringstream out;
  EXPECT_EQ(PrintPortBlock(registry, MemoryRegistry::EntryFor(port), out), 0);
  return out.str();
}

TEST(PrintPortBlock, LinesTheirOrderAndWhatLeavesThemOut) {
  const std::string name = "    PortWWN invalid\n";
  struct Case {
    Dictionary chars;
    std::string want;
  };
  const Case cases[] = {
      {{{"Fibre Channel Cabling Type", Str("Optical")},
        {"Port Number", Num(3)},
        {"Slot", Str("S")},
        {"Port Topology", Str("N_Port")},
        {"Port Speed", Str("Automatic")},
        {"AL_PA", Bytes({0xEF})},
        {"Port Status", Str("Online")},
        {"World Wide Port Name", Num(0x0807060504030201)}},
       "    PortWWN 01:02:03:04:05:06:07:08\n"
       "        Port Status: Online\n"
       "              AL_PA: 0xEF\n"
       "              Speed: Automatic\n"
       "           Topology: N_Port\n"
       "               Slot: S\n"
       "               Port: 3\n"
       "         Cable Type: Optical\n\n"},
      {{{"Port Hard Loop ID", Num(0)}}, name + "              AL_PA: 0x0\n"},
      {{{"Port Hard Loop ID", Num(1)}}, name + "              AL_PA: 0x1\n"},
      {{{"Port Hard Loop ID", Num(2147483648LL)}, {"Port Number", Num(-2147483649LL)}}, name},
      {{{"Port Number", Num(-7)}}, name + "               Port: -7\n"},
      {{{"Port Number", Str("3")}, {"Port Speed", Num(8)}, {"Port Status", Bytes({1})}}, name},
      {{{"Port Speed", Str(std::string(255, 's'))}},
       name + "              Speed: " + std::string(255, 's') + "\n"},
      {{{"Port Speed", Str(std::string(256, 's'))}}, name},
      {{{"Port Speed", Str("8 G\xFF")}}, name},
      {{{"Slot", Str(std::string("S3\0tail", 7))}}, name + "               Slot: S3\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Block(c.chars), c.want);
}

TEST(PrintControllerSection, StatusIsTheLastPortsAndFailedPortsPrintNothing) {
  FailingRegistry registry;
  auto* root = registry.SetRoot("Root");
  std::ostringstream out;
  EXPECT_EQ(PrintControllerSection(registry, out), 0);
  EXPECT_EQ(out.str(), "");

  auto chars = [](const char* cable) {
    Dictionary d{{"Port Status", Str("Online")}};
    if (cable) d.insert_or_assign("Fibre Channel Cabling Type", Str(cable));
    return Dictionary{{"Controller Characteristics", Dict(d)}};
  };
  registry.AddChild(root, kUserControllerClass, chars(nullptr));
  registry.AddChild(root, kUserControllerClass, {});
  registry.AddChild(root, kUserControllerClass, chars("Copper"));
  EXPECT_EQ(PrintControllerSection(registry, out), 0);
  EXPECT_EQ(out.str(),
            "    PortWWN invalid\n        Port Status: Online\n"
            "    PortWWN invalid\n        Port Status: Online\n         Cable Type: Copper\n\n");

  registry.AddChild(root, kUserControllerClass, {});
  EXPECT_EQ(PrintControllerSection(registry, out), static_cast<std::int32_t>(kRegistryNotFound));
  registry.FailOperation(FailingRegistry::Operation::kMatch, kRegistryNoMemory);
  EXPECT_EQ(PrintControllerSection(registry, out), static_cast<std::int32_t>(kRegistryNoMemory));
}

}  // namespace
}  // namespace halvane
