#include "inventory/controller_report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "inventory/port_info.h"
#include "support/run_binary.h"
#include "support/twins.h"

namespace halvane {
namespace {

using testing::HostText;
using testing::PortEntry;

// A port's block, and its record shown as "key=value;" (numbers after "#"), as their tables say.
TEST(PortBlocksAndRecords, AsTheirTablesSay) {
  for (const std::string table : {"port_blocks", "port_records"}) {
    for (const auto& row : testing::Rows("inventory/" + table + ".txt")) {
      TwinRegistry registry(HostText(PortEntry(row.at(0))));
      const RegistryEntry port = registry.First(kUserControllerClass);
      std::ostringstream out;
      if (table == "port_blocks") {
        EXPECT_TRUE(PrintPortBlock(registry, port, out).ok());
      } else {
        const StatusOr<Dictionary> record = BuildPortInfo(registry, port);
        ASSERT_TRUE(record.ok()) << row[0];
        for (const auto& [key, value] : *record) {
          out << key.str() << "=" << (value.AsString() ? *value.AsString() : "");
          if (const auto v = value.AsInt64()) out << '#' << *v;
          out << ";";
        }
      }
      EXPECT_EQ(out.str(), row.at(1)) << row[0];
    }
  }
}

TEST(PrintControllerSection, PortsInRegistryOrderAndAFailedDiscoveryAnswersItsStatus) {
  TwinRegistry empty(HostText(""));
  std::ostringstream out;
  EXPECT_TRUE(PrintControllerSection(empty, out).ok());
  EXPECT_EQ(out.str(), "");

  TwinRegistry registry(
      HostText(PortEntry(R"({"Port Status": "Online"})") + R"(, {"class": ")" +
               kUserControllerClass + R"("}, )" +
               PortEntry(R"({"Port Status": "Online", "Fibre Channel Cabling Type": "Copper"})")));
  EXPECT_TRUE(PrintControllerSection(registry, out).ok());
  EXPECT_EQ(out.str(),
            "    PortWWN invalid\n        Port Status: Online\n"
            "    PortWWN invalid\n        Port Status: Online\n         Cable Type: Copper\n\n");

  registry.failures[TwinRegistry::kMatch] = {kIoError, ""};
  EXPECT_EQ(PrintControllerSection(registry, out).code(), kIoError);
}

TEST(FindPortByWWN, TheUserClassHidesTheOlderClass) {
  const auto port = [](const char* cls, char last) {
    return PortEntry(R"({"Port World Wide Name": {"$data": "AA:BB:00:00:00:00:00:0)" +
                         std::string(1, last) + "\"}}",
                     cls);
  };
  TwinRegistry older(HostText(port(kFusionControllerClass, '7')));
  const StatusOr<RegistryEntry> found = FindPortByWWN(older, "AA:BB:00:00:00:00:00:07");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->impl(), older.First(kFusionControllerClass).impl());
  TwinRegistry both(
      HostText(port(kFusionControllerClass, '7') + ", " + port(kUserControllerClass, '8')));
  EXPECT_EQ(FindPortByWWN(both, "AA:BB:00:00:00:00:00:07").status().code(), kNoDevice);
  both.failures[TwinRegistry::kMatch] = {kIoError, ""};
  EXPECT_EQ(FindPortByWWN(both, "AA:BB:00:00:00:00:00:08").status().code(), kIoError);
}

}  // namespace
}  // namespace halvane
