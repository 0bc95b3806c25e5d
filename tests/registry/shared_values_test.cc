// A snapshot's recurring values are shared between entries; every entry must still read back
// exactly the value its own text gave, however many different values pass through the loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/memory_registry.h"
#include "support/values.h"

namespace halvane {
namespace {

TEST(SnapshotSharedValues, EveryEntryKeepsItsOwnValue) {
  // More different values than the loader keeps at hand, with repeats among them.
  constexpr int kEntries = 6000;
  auto hex = [](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x %02x", (i >> 8) & 0xff, i & 0xff);
    return std::string(text);
  };
  std::string text = R"({"root": {"class": "R", "children": [)";
  for (int i = 0; i < kEntries; ++i) {
    const int v = i % 4500;  // small and larger integers, each text given twice or once
    text += std::string(i ? "," : "") + R"({"class": "E", "properties": {"s": "v)" +
            std::to_string(v) + R"(", "n": )" + std::to_string(v) + R"(, "d": {"$data": ")" +
            hex(v) + R"("}}})";
  }
  text += "]}}";
  const auto parsed = ParseSnapshot(text);
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  const MemoryRegistry& registry = **parsed;
  ASSERT_EQ(registry.root()->children.size(), static_cast<std::size_t>(kEntries));
  for (int i = 0; i < kEntries; ++i) {
    const int v = i % 4500;
    const std::string number = std::to_string(v);
    const Dictionary& table = *registry.root()->children[i]->properties.AsDictionary();
    EXPECT_EQ(*testing::Member(table, "s").AsString(), "v" + number) << i;
    EXPECT_EQ(testing::Member(table, "n").AsInt64(), v) << i;
    EXPECT_EQ(*testing::Member(table, "d").AsData(),
              (Data{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xff)}))
        << i;
  }
}

}  // namespace
}  // namespace halvane
