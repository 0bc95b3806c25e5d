#include "registry/snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "registry/snapshot_file.h"
#include "registry/snapshot_parser.h"
#include "support/memory_registry.h"
#include "support/run_binary.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Member;
using testing::ReadFile;

// The registry a snapshot text holds; a test failure names the text's refusal.
std::unique_ptr<MemoryRegistry> Parsed(std::string_view text) {
  StatusOr<std::unique_ptr<MemoryRegistry>> registry = ParseSnapshot(text);
  EXPECT_TRUE(registry.ok()) << registry.status().message();
  return registry.ok() ? std::move(*registry) : std::make_unique<MemoryRegistry>();
}

// Why a snapshot text is refused; empty when it is taken.
std::string Refusal(std::string_view text) { return ParseSnapshot(text).status().message(); }

TEST(ParseSnapshot, ReadsEveryKindOfValue) {
  const auto registry = Parsed(R"({
    "classes": {"Leaf": "Base"},
    "root": {"class": "Leaf", "write-status": "0xE00002C7", "properties": {
      "s": "text", "i": -5, "big": 18446744073709551615, "f": 1.0, "e": 1e3, "b": true,
      "a": [1, "x"], "d": {"$data": "0a:0B 0c0D"}, "empty": {"$data": ""},
      "dict": {"$data": "00", "other": 1}, "none": {}, "no items": []}}})");
  const Dictionary& p = *registry->root()->properties.AsDictionary();
  EXPECT_EQ(*Member(p, "s").AsString(), "text");
  EXPECT_EQ(Member(p, "i").AsInt64(), -5);
  EXPECT_FALSE(Member(p, "big").AsInt64());
  EXPECT_FALSE(Member(p, "f").AsInt64());
  EXPECT_FALSE(Member(p, "e").AsInt64());
  EXPECT_TRUE(*Member(p, "b").AsBoolean());
  EXPECT_EQ(Member(p, "a").AsArray()->size(), 2u);
  EXPECT_EQ(Member(p, "no items").AsArray()->size(), 0u);
  EXPECT_EQ(Member(p, "d"), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(Member(p, "empty").AsData()->size(), 0u);
  EXPECT_TRUE(Member(p, "dict").AsDictionary());
  EXPECT_EQ(registry->root()->write_status, kUnsupported);
  EXPECT_EQ(registry->classes().at("Leaf"), "Base");
  // And every kind is saved in a form that loads again.
  EXPECT_EQ(Refusal(SerializeSnapshot(*registry)), "");
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
TEST(ParseSnapshot, ManyKeysAndLongClassChainsLoad) {
  std::string text = R"({"root": {"class": "X", "properties": {)";
  for (int i = 200000; i > 0; --i) text += "\"k" + std::to_string(i) + "\": 1" + (i > 1 ? "," : "");
  EXPECT_EQ(Parsed(text + "}}}")->root()->properties.AsDictionary()->size(), 200000u);
  constexpr int kClasses = 300000;
  text = R"({"classes": {)";
  for (int i = 0; i < kClasses; ++i)
    text += "\"C" + std::to_string(i) + "\": \"C" + std::to_string(i + 1) + "\", ";
  text += "\"C" + std::to_string(kClasses) + R"(": "Base"}, "root": {"class": "C0"}})";
  const auto registry = Parsed(text);
  EXPECT_TRUE(registry->ConformsTo(
      MemoryRegistry::EntryFor(const_cast<MemoryRegistry::Node*>(registry->root())), "Base"));
}

// Text read in pieces of any size loads as it does whole, and one refused is refused with the same
// place named.
TEST(LoadSnapshotText, AgreesWithTheWholeTextAtEveryPieceSize) {
  class Pieces : public TextSource {
   public:
    Pieces(std::string_view text, std::size_t piece) : text_(text), left_(text), piece_(piece) {}
    StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
      const std::size_t got = left_.substr(0, std::min(piece_, size)).copy(buffer, size);
      left_.remove_prefix(got);
      return got;
    }
    Status Rewind() override {
      left_ = text_;
      return Status::Ok();
    }

   private:
    std::string_view text_;
    std::string_view left_;
    std::size_t piece_;
  };
  std::vector<std::string> texts = {ReadFile(testing::SourceDir() + "/examples/san.json")};
  for (const auto& row : testing::Rows("registry/malformed.txt")) texts.push_back(row.at(0));
  for (const std::string& text : texts) {
    const auto whole = ParseSnapshot(text);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      Pieces pieces(text, piece);
      MemoryRegistry chunked;
      const Status status = LoadSnapshotText(pieces, chunked);
      EXPECT_EQ(status.message(), whole.status().message()) << piece;
      if (whole.ok()) {
        EXPECT_EQ(SerializeSnapshot(chunked), SerializeSnapshot(**whole));
      }
    }
  }
  // Places are counted across the reader's chunks of 64 KiB, with the fault on either side of a
  // chunk's end.
  for (const std::size_t pad : {65470, 65480, 65490}) {
    const std::string text = R"({"root": {"class": "X", "properties": {"k": ")" +
                             std::string(pad, 'a') + "\",\n  \"j\": 1,\n  x}}}";
    EXPECT_EQ(Refusal(text), "syntax error at line 3, column 3: unexpected 'x'") << pad;
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

// Every text of the fuzz corpus is taken or refused as the loader answered it before it read on
// one thread, and a text taken saves back the same: tests/registry/corpus_answers.txt holds the
// texts taken, with the FNV-1a hash of what they save back; every other text is refused.
TEST(LoadSnapshotText, AnswersTheCorpusAsBefore) {
  const auto fnv = [](const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(hex);
  };
  std::map<std::string, std::string> taken;
  for (const auto& row : testing::Rows("registry/corpus_answers.txt")) taken[row.at(0)] = row.at(1);
  const std::string corpus = testing::SourceDir() + "/fuzz/corpus/snapshot";
  for (const auto& file : std::filesystem::directory_iterator(corpus)) {
    const std::string name = file.path().filename().string();
    const std::string text = ReadFile(file.path().string());
    const auto loaded = ParseSnapshot(text);
    const std::string saved = loaded.ok() ? SerializeSnapshot(**loaded) : "";
    const std::string got = loaded.ok() ? "taken " + fnv(saved) : "refused";
    const auto wanted = taken.find(name);
    EXPECT_EQ(got, wanted == taken.end() ? "refused" : "taken " + wanted->second)
        << name << ": "
        << (loaded.ok() ? "saves back as:\n" + saved.substr(0, 2000)
                        : "refused: " + loaded.status().message())
        << "\nthe text:\n"
        << text.substr(0, 2000);
  }
}

// The example is in the saved layout (tests/golden/san-saved.json shows a save of it).
TEST(SerializeSnapshot, TheExampleIsInTheSavedLayout) {
  const std::string example = ReadFile(testing::SourceDir() + "/examples/san.json");
  EXPECT_EQ(SerializeSnapshot(*Parsed(example)), example);
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
