#include "registry/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>

#include "support/run_binary.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::ReadFile;

TEST(ParseSnapshot, ReadsEveryKindOfValue) {
  MemoryRegistry registry;
  std::string error;
  ASSERT_TRUE(ParseSnapshot(R"({
    "classes": {"Leaf": "Base"},
    "root": {"class": "Leaf", "write-status": "0xE00002C7", "properties": {
      "s": "text", "i": -5, "big": 18446744073709551615, "f": 1.0, "e": 1e3, "b": true,
      "a": [1, "x"], "d": {"$data": "0a:0B 0c0D"}, "empty": {"$data": ""},
      "dict": {"$data": "00", "other": 1}, "none": {}}}})",
                            &registry, &error))
      << error;
  const Dictionary& p = *registry.root()->properties.AsDictionary();
  std::int64_t v = 0;
  EXPECT_EQ(*p.at("s").AsString(), "text");
  EXPECT_TRUE(p.at("i").AsNumber()->ToInt64(&v) && v == -5);
  EXPECT_FALSE(p.at("big").AsNumber()->ToInt64(&v));
  EXPECT_FALSE(p.at("f").AsNumber()->ToInt64(&v));
  EXPECT_FALSE(p.at("e").AsNumber()->ToInt64(&v));
  EXPECT_TRUE(*p.at("b").AsBoolean());
  EXPECT_EQ(p.at("a").AsArray()->size(), 2u);
  EXPECT_EQ(p.at("d"), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(p.at("empty").AsData()->size(), 0u);
  EXPECT_TRUE(p.at("dict").AsDictionary());
  EXPECT_EQ(registry.root()->write_status, 0xE00002C7u);
  EXPECT_EQ(registry.classes().at("Leaf"), "Base");
  MemoryRegistry again;  // and every kind is saved in a form that loads again
  EXPECT_TRUE(ParseSnapshot(SerializeSnapshot(registry), &again, &error)) << error;
}

TEST(ParseSnapshot, RefusesMalformedFormsAndSaysWhere) {
  std::string deep = R"({"class": "X"})";
  for (int i = 0; i < kMaxSnapshotDepth; ++i)
    deep = R"({"class": "X", "children": [)" + deep + "]}";
  std::vector<std::vector<std::string>> cases = testing::Rows("registry/malformed.txt");
  cases.push_back({R"({"root": )" + deep + "}", "is nested deeper than 256 levels"});
  cases.push_back({R"({"root": {"class": "X", "received-settings": [{"k": )" +
                       std::string(256, '[') + std::string(256, ']') + "}]}}",
                   "root.received-settings[0].k[0][0]"});
  for (const auto& c : cases) {
    MemoryRegistry registry;
    std::string error;
    EXPECT_FALSE(ParseSnapshot(c.at(0), &registry, &error)) << c[0];
    EXPECT_NE(error.find(c.at(1)), std::string::npos) << "got: " << error << "\nwanted: " << c[1];
  }
  // 256 levels are allowed.
  MemoryRegistry registry;
  std::string error;
  std::string ok = R"({"class": "X"})";
  for (int i = 1; i < kMaxSnapshotDepth; ++i) ok = R"({"class": "X", "children": [)" + ok + "]}";
  EXPECT_TRUE(ParseSnapshot(R"({"root": )" + ok + "}", &registry, &error)) << error;
  // So are values nested as deep under the properties' own level.
  const int levels = kMaxSnapshotDepth - 1;
  std::string dictionaries = "1";
  for (int i = 0; i < levels; ++i) dictionaries = R"({"k": )" + dictionaries + "}";
  for (const std::string& value :
       {std::string(levels, '[') + std::string(levels, ']'), dictionaries}) {
    EXPECT_TRUE(ParseSnapshot(R"({"root": {"class": "X", "properties": {"a": )" + value + "}}}",
                              &registry, &error))
        << error;
  }
}

TEST(ParseSnapshot, KeysInDescendingOrderLoadInTime) {
  std::string text = R"({"root": {"class": "X", "properties": {)";
  for (int i = 200000; i > 0; --i) text += "\"k" + std::to_string(i) + "\": 1" + (i > 1 ? "," : "");
  text += "}}}";
  const auto start = std::chrono::steady_clock::now();
  MemoryRegistry registry;
  std::string error;
  ASSERT_TRUE(ParseSnapshot(text, &registry, &error)) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(registry.root()->properties.AsDictionary()->size(), 200000u);
}

// Read a piece at a time, a text loads as it does whole, and one refused whole is never taken.
TEST(ParseSnapshotChunks, AgreesWithTheWholeTextAtEveryPieceSize) {
  std::vector<std::string> texts = {ReadFile(testing::SourceDir() + "/examples/san.json"),
                                    std::string("{\"root\": {\"class\": \"X\"}}\0 ", 26),
                                    R"({"root": {"class": "X", "colour": "red"}})"};
  for (const auto& row : testing::Rows("registry/malformed.txt")) texts.push_back(row.at(0));
  // Texts long enough that the reading side waits for the building side: taken whole, refused
  // at their start and refused at their end.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "\"k" + std::to_string(i) + "\": [1, \"v\"], ";
  for (const std::string& text :
       {R"({"root": {"class": "X", "properties": {)" + many + R"("z": 1}}})",
        R"({"root": {"class": "X", "properties": {"a": null, )" + many + R"("z": 1}}})",
        R"({"root": {"class": "X", "properties": {)" + many + R"("z": 1}}} x)"})
    texts.push_back(text);
  for (const std::string& text : texts) {
    MemoryRegistry whole;
    std::string whole_error;
    const bool whole_ok = ParseSnapshot(text, &whole, &whole_error);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      std::size_t at = 0;
      const auto read = [&](char* buffer, std::size_t size) {
        const std::size_t n = std::min({piece, size, text.size() - at});
        std::copy_n(text.data() + at, n, buffer);
        at += n;
        return static_cast<std::ptrdiff_t>(n);
      };
      MemoryRegistry chunked;
      std::string error;
      const std::optional<bool> loaded = ParseSnapshotChunks(read, &chunked, &error);
      if (whole_ok) {
        ASSERT_EQ(loaded, std::optional<bool>(true)) << text;
        EXPECT_EQ(SerializeSnapshot(chunked), SerializeSnapshot(whole));
      } else if (loaded) {
        EXPECT_FALSE(*loaded) << text;
        EXPECT_EQ(error, whole_error);
      }
    }
  }
  // A read that fails part way is not taken for the end of the text.
  int calls = 0;
  const auto failing = [&](char* buffer, std::size_t) -> std::ptrdiff_t {
    if (calls++ > 0) return -1;
    std::copy_n("{\"root\": {\"class\": \"X\"}}", 3, buffer);
    return 3;
  };
  MemoryRegistry registry;
  std::string error;
  EXPECT_EQ(ParseSnapshotChunks(failing, &registry, &error), std::nullopt);
}

// The example is in the saved layout (tests/golden/san-saved.json shows a save of it).
TEST(SerializeSnapshot, TheExampleIsInTheSavedLayout) {
  const std::string example = ReadFile(testing::SourceDir() + "/examples/san.json");
  MemoryRegistry registry;
  std::string error;
  ASSERT_TRUE(ParseSnapshot(example, &registry, &error)) << error;
  EXPECT_EQ(SerializeSnapshot(registry), example);
}

}  // namespace
}  // namespace halvane
