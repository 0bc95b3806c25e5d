#include "registry/snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

#include "registry/snapshot_file.h"
#include "registry/snapshot_parser.h"
#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;
using testing::List;
using testing::Num;
using testing::ReadFile;
using testing::Str;

// Snapshot texts loaded as a run loads them, from a file.
class SnapshotRegistryTest : public ::testing::Test {
 protected:
  StatusOr<std::unique_ptr<DeviceRegistry>> Load(std::string_view text) {
    return LoadSnapshotFile(dir_.Write("s.json", std::string(text)), RegistryUse::kRead);
  }
  // The registry text holds; a test failure names the text's refusal.
  std::unique_ptr<DeviceRegistry> Parsed(std::string_view text) {
    auto registry = Load(text);
    EXPECT_TRUE(registry.ok()) << registry.status().message();
    return registry.ok() ? std::move(*registry) : nullptr;
  }
  // Why text is refused, after the file's path; empty when it is taken.
  std::string Refusal(std::string_view text) {
    const std::string why = Load(text).status().message();
    return why.empty() ? why : why.substr(dir_.path().size() + sizeof "/s.json: " - 1);
  }
  // What a save of registry writes.
  static std::string Saved(DeviceRegistry& registry) {
    const StatusOr<std::string> text = registry.WriteSnapshot();
    EXPECT_TRUE(text.ok()) << text.status().message();
    return text.ok() ? *text : "";
  }

  testing::TempDir dir_;
};

// A control byte, other than a line end, in text.
bool HasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; });
}

// Every kind of value is read, and read the same again from what a save writes.
TEST_F(SnapshotRegistryTest, ReadsEveryKindOfValueAndSavesItBack) {
  auto registry = Parsed(R"({
    "classes": {"Leaf": "Base"},
    "root": {"class": "Leaf", "write-status": "0xE00002C7", "properties": {
      "s": "text\u0001", "i": -5, "big": 18446744073709551615, "f": 1.0, "e": 1e3, "b": true,
      "a": [1, "x"], "d": {"$data": "0a:0B 0c0D"}, "empty": {"$data": ""},
      "dict": {"$data": "00", "other": 1}, "none": {}, "no items": []}}})");
  ASSERT_TRUE(registry);
  auto replay = Parsed(Saved(*registry));
  ASSERT_TRUE(replay);
  for (DeviceRegistry* r : {registry.get(), replay.get()}) {
    const StatusOr<RegistryEntry> root = r->MatchFirstService("Base");
    ASSERT_TRUE(root.ok() && *root);
    const auto p = [&](std::string_view key) {
      const auto value = r->ReadProperty(*root, key);
      return value.ok() && *value ? **value : PropertyValue::OfDictionary({{"missing", Num(1)}});
    };
    EXPECT_EQ(p("s"), Str("text\x01"));
    EXPECT_EQ(p("i"), Num(-5));
    EXPECT_EQ(p("big"), PropertyValue::UInt64(18446744073709551615u));
    EXPECT_FALSE(p("f").AsInt64());
    EXPECT_FALSE(p("e").AsInt64());
    EXPECT_EQ(p("b"), PropertyValue::Boolean(true));
    EXPECT_EQ(p("a"), List({Num(1), Str("x")}));
    EXPECT_EQ(p("no items"), List({}));
    EXPECT_EQ(p("d"), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(p("empty"), Bytes({}));
    EXPECT_EQ(p("dict"), Dict({{"$data", Str("00")}, {"other", Num(1)}}));
    EXPECT_EQ(r->DescribeWrite(*root, {}, "p").status().code(), kUnsupported);
  }
  EXPECT_EQ(Saved(*replay), Saved(*registry));
}

TEST_F(SnapshotRegistryTest, RefusesMalformedFormsAndSaysWhere) {
  std::string deep = R"({"class": "X"})";
  for (int i = 0; i < kMaxSnapshotDepth; ++i)
    deep = R"({"class": "X", "children": [)" + deep + "]}";
  std::vector<std::vector<std::string>> cases = testing::Rows("registry/malformed.txt");
  cases.push_back({R"({"root": )" + deep + "}", "is nested deeper than 256 levels"});
  cases.push_back({R"({"root": {"class": "X", "received-settings": [{"k": )" +
                       std::string(256, '[') + std::string(256, ']') + "}]}}",
                   "root.received-settings[0].k[0][0]"});
  for (const auto& c : cases) {
    const std::string refusal = Refusal(c.at(0));
    EXPECT_NE(refusal, "") << c[0];
    EXPECT_NE(refusal.find(c.at(1)), std::string::npos)
        << "got: " << refusal << "\nwanted: " << c[1];
  }
  // 256 levels are allowed.
  std::string ok = R"({"class": "X"})";
  for (int i = 1; i < kMaxSnapshotDepth; ++i) ok = R"({"class": "X", "children": [)" + ok + "]}";
  EXPECT_EQ(Refusal(R"({"root": )" + ok + "}"), "");
  // So are values nested as deep under the properties' own level.
  const int levels = kMaxSnapshotDepth - 1;
  std::string dictionaries = "1";
  for (int i = 0; i < levels; ++i) dictionaries = R"({"k": )" + dictionaries + "}";
  for (const std::string& value :
       {std::string(levels, '[') + std::string(levels, ']'), dictionaries}) {
    EXPECT_EQ(Refusal(R"({"root": {"class": "X", "properties": {"a": )" + value + "}}}"), "");
  }
}

// Keys in descending order and a chain of classes each deriving from the next load in time that
// grows with their number, not its square: 200,000 keys and 300,000 classes take about a second
// each; in quadratic time they would take hours, and the run would end by its timeout.
TEST_F(SnapshotRegistryTest, ManyKeysAndLongClassChainsLoad) {
  std::string text = R"({"classes": {)";
  constexpr int kClasses = 300000;
  for (int i = 0; i < kClasses; ++i)
    text += "\"C" + std::to_string(i) + "\": \"C" + std::to_string(i + 1) + "\", ";
  text +=
      "\"C" + std::to_string(kClasses) + R"(": "Base"}, "root": {"class": "C0", "properties": {)";
  for (int i = 200000; i > 0; --i) text += "\"k" + std::to_string(i) + "\": 1" + (i > 1 ? "," : "");
  const auto registry = Parsed(text + "}}}");
  ASSERT_TRUE(registry);
  const StatusOr<RegistryEntry> root = registry->MatchFirstService("Base");
  ASSERT_TRUE(root.ok() && *root);
  for (const char* key : {"k1", "k100000", "k200000"}) {
    const auto value = registry->ReadProperty(*root, key);
    EXPECT_TRUE(value.ok() && *value) << key;
  }
}

// Text read in pieces of any size loads as it does whole, and one refused is refused with the same
// place named.
TEST(LoadSnapshotText, AgreesWithTheWholeTextAtEveryPieceSize) {
  std::vector<std::string> texts = {ReadFile(testing::SourceDir() + "/examples/san.json")};
  for (const auto& row : testing::Rows("registry/malformed.txt")) texts.push_back(row.at(0));
  for (const std::string& text : texts) {
    const auto whole = ParseSnapshot(text);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      const auto chunked = ParseSnapshot(text, piece);
      EXPECT_EQ(chunked.status().message(), whole.status().message()) << piece;
      if (whole.ok() && chunked.ok()) {
        EXPECT_EQ(SerializeSnapshot(**chunked), SerializeSnapshot(**whole));
      }
    }
  }
  // A read that fails part way is not taken for the end of the text.
  class Failing : public TextSource {
   public:
    StatusOr<std::size_t> Read(char* buffer, std::size_t) override {
      if (calls_++ > 0) return Status::Error(kIoError, "Input/output error");
      return std::string_view("{\"root\": {\"class\": \"X\"}}").copy(buffer, 3);
    }

   private:
    int calls_ = 0;
  } failing;
  MemoryRegistry registry;
  EXPECT_EQ(LoadSnapshotText(failing, registry).message(), "Input/output error");
}

// Places are counted across the reader's chunks of 64 KiB, with the fault on either side of a
// chunk's end.
TEST_F(SnapshotRegistryTest, PlacesAreCountedAcrossTheReadersChunks) {
  for (const std::size_t pad : {65470, 65480, 65490}) {
    const std::string text = R"({"root": {"class": "X", "properties": {"k": ")" +
                             std::string(pad, 'a') + "\",\n  \"j\": 1,\n  x}}}";
    EXPECT_EQ(Refusal(text), "syntax error at line 3, column 3: unexpected 'x'") << pad;
  }
}

// Every text of the fuzz corpus is taken or refused with a reason, in words free of control
// bytes; a text that is not JSON is refused; a text taken saves as JSON free of control bytes,
// which loads again and saves the same.
TEST_F(SnapshotRegistryTest, EveryCorpusTextIsTakenOrRefusedAndReplaysAsSaved) {
  int taken = 0, refused = 0;
  for (const auto& file :
       std::filesystem::directory_iterator(testing::SourceDir() + "/fuzz/corpus/snapshot")) {
    const std::string path = file.path().string();
    const std::string text = ReadFile(path);
    SCOPED_TRACE(path);
    auto loaded = LoadSnapshotFile(path, RegistryUse::kRead);
    if (!loaded.ok()) {
      ++refused;
      const std::string& why = loaded.status().message();
      EXPECT_EQ(why.rfind(path + ": ", 0), 0u) << why;
      EXPECT_GT(why.size(), path.size() + 2);
      EXPECT_FALSE(HasControlByte(why)) << why;
      continue;
    }
    ++taken;
    EXPECT_TRUE(nlohmann::json::accept(text));
    const std::string saved = Saved(**loaded);
    EXPECT_TRUE(nlohmann::json::accept(saved)) << saved.substr(0, 2000);
    EXPECT_FALSE(HasControlByte(saved)) << saved.substr(0, 2000);
    auto replay = Parsed(saved);
    if (replay) {
      EXPECT_EQ(Saved(*replay), saved);
    }
  }
  EXPECT_GT(taken, 0);
  EXPECT_GT(refused, 0);
}

// A snapshot may be as large as 1 GiB and no larger: one byte more is refused before anything is
// read, and a file that grows past the bound while it is read is refused when it does. The files
// are sparse: nothing is written to the disk.
TEST(SnapshotFile, TakesUpToOneGibibyte) {
  testing::TempDir dir;
  const std::string path = dir.Write("big.json", "");
  SnapshotFile file;
  ASSERT_EQ(truncate(path.c_str(), kMaxSnapshotBytes + 1), 0);
  EXPECT_EQ(file.Open(path, RegistryUse::kRead).message(),
            path + ": larger than 1 GiB, too large for a registry snapshot");
  ASSERT_EQ(truncate(path.c_str(), kMaxSnapshotBytes), 0);
  ASSERT_TRUE(file.Open(path, RegistryUse::kRead).ok());
  std::vector<char> buffer(1 << 20);
  std::int64_t total = 0;
  for (StatusOr<std::size_t> got = 1; *got > 0; total += *got) {
    got = file.ReadSome(buffer.data(), buffer.size());
    ASSERT_TRUE(got.ok()) << got.status().message() << " after " << total;
  }
  EXPECT_EQ(total, kMaxSnapshotBytes);
  ASSERT_EQ(truncate(path.c_str(), kMaxSnapshotBytes + 1), 0);
  EXPECT_EQ(file.ReadSome(buffer.data(), buffer.size()).status().message(),
            "larger than 1 GiB, too large for a registry snapshot");
}

}  // namespace
}  // namespace halvane
