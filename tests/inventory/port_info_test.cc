#include "inventory/port_info.h"

#include <gtest/gtest.h>

#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;

// Shows a record as "key=value" lines so a whole record compares in one assertion.
std::string Show(const Dictionary& record) {
  std::string text;
  for (const auto& [key, value] : record) {
    text += key.str() + "=";
    if (value.AsString()) text += *value.AsString();
    if (const auto v = value.AsInt64()) text += '#' + std::to_string(*v);
    text += ";";
  }
  return text;
}

std::string RecordOf(Dictionary chars) {
  MemoryRegistry registry;
  auto* port = registry.AddChild(registry.SetRoot("Root"), kUserControllerClass,
                                 {{"Controller Characteristics", Dict(std::move(chars))}});
  const StatusOr<Dictionary> record = BuildPortInfo(registry, MemoryRegistry::EntryFor(port));
  EXPECT_TRUE(record.ok());
  return record.ok() ? Show(*record) : "";
}

TEST(BuildPortInfo, DirectLayoutKeys) {
  for (const auto& row : testing::Rows("inventory/port_records.txt"))
    EXPECT_EQ(RecordOf(testing::Properties(row.at(0))), row.at(1)) << row[0];
}

class FindPortTest : public ::testing::Test {
 protected:
  MemoryRegistry::Node* AddPort(const char* cls, std::uint8_t last, Dictionary extra = {}) {
    extra.insert_or_assign("Port World Wide Name", Bytes({0xAA, 0xBB, 0, 0, 0, 0, 0, last}));
    return registry_.AddChild(root_, cls, {{"Controller Characteristics", Dict(std::move(extra))}});
  }
  MemoryRegistry::Node* Found(std::string_view wanted, StatusCode want_status = 0) {
    const StatusOr<RegistryEntry> entry = FindPortByWWN(registry_, wanted);
    EXPECT_EQ(entry.status().code(), want_status) << wanted;
    return entry.ok() ? MemoryRegistry::NodeOf(*entry) : nullptr;
  }
  FailingRegistry registry_;
  MemoryRegistry::Node* root_ = registry_.SetRoot("Root");
};

TEST_F(FindPortTest, TheUserClassHidesTheOlderClass) {
  auto* older = AddPort(kFusionControllerClass, 7);
  EXPECT_EQ(Found("AA:BB:00:00:00:00:00:07"), older);
  AddPort(kUserControllerClass, 8);
  EXPECT_EQ(Found("AA:BB:00:00:00:00:00:07", kNoDevice), nullptr);
  registry_.FailOperation(FailingRegistry::Operation::kMatch, kIoError);
  EXPECT_EQ(Found("AA:BB:00:00:00:00:00:08", kIoError), nullptr);
}

}  // namespace
}  // namespace halvane
