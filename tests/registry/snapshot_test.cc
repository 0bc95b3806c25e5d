#include "registry/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <sstream>

#include "registry/snapshot_parser.h"
#include "support/run_binary.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::ReadFile;

TEST(ParseSnapshot, ReadsEveryKindOfValue) {
  MemoryRegistry registry;
  const Status parsed = ParseSnapshot(R"({
    "classes": {"Leaf": "Base"},
    "root": {"class": "Leaf", "write-status": "0xE00002C7", "properties": {
      "s": "text", "i": -5, "big": 18446744073709551615, "f": 1.0, "e": 1e3, "b": true,
      "a": [1, "x"], "d": {"$data": "0a:0B 0c0D"}, "empty": {"$data": ""},
      "dict": {"$data": "00", "other": 1}, "none": {}, "no items": []}}})",
                                      &registry);
  ASSERT_TRUE(parsed.ok()) << parsed.message();
  const Dictionary& p = *registry.root()->properties.AsDictionary();
  std::int64_t v = 0;
  EXPECT_EQ(*p.at("s").AsString(), "text");
  EXPECT_TRUE(p.at("i").AsNumber()->ToInt64(&v) && v == -5);
  EXPECT_FALSE(p.at("big").AsNumber()->ToInt64(&v));
  EXPECT_FALSE(p.at("f").AsNumber()->ToInt64(&v));
  EXPECT_FALSE(p.at("e").AsNumber()->ToInt64(&v));
  EXPECT_TRUE(*p.at("b").AsBoolean());
  EXPECT_EQ(p.at("a").AsArray()->size(), 2u);
  EXPECT_EQ(p.at("no items").AsArray()->size(), 0u);
  EXPECT_EQ(p.at("d"), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(p.at("empty").AsData()->size(), 0u);
  EXPECT_TRUE(p.at("dict").AsDictionary());
  EXPECT_EQ(registry.root()->write_status, kRegistryUnsupported);
  EXPECT_EQ(registry.classes().at("Leaf"), "Base");
  MemoryRegistry again;  // and every kind is saved in a form that loads again
  EXPECT_TRUE(ParseSnapshot(SerializeSnapshot(registry), &again).ok());
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
    const Status parsed = ParseSnapshot(c.at(0), &registry);
    EXPECT_FALSE(parsed.ok()) << c[0];
    EXPECT_NE(parsed.message().find(c.at(1)), std::string::npos)
        << "got: " << parsed.message() << "\nwanted: " << c[1];
  }
  // 256 levels are allowed.
  MemoryRegistry registry;
  std::string ok = R"({"class": "X"})";
  for (int i = 1; i < kMaxSnapshotDepth; ++i) ok = R"({"class": "X", "children": [)" + ok + "]}";
  EXPECT_TRUE(ParseSnapshot(R"({"root": )" + ok + "}", &registry).ok());
  // So are values nested as deep under the properties' own level.
  const int levels = kMaxSnapshotDepth - 1;
  std::string dictionaries = "1";
  for (int i = 0; i < levels; ++i) dictionaries = R"({"k": )" + dictionaries + "}";
  for (const std::string& value :
       {std::string(levels, '[') + std::string(levels, ']'), dictionaries}) {
    EXPECT_TRUE(
        ParseSnapshot(R"({"root": {"class": "X", "properties": {"a": )" + value + "}}}", &registry)
            .ok());
  }
}

TEST(ParseSnapshot, KeysInDescendingOrderLoadInTime) {
  std::string text = R"({"root": {"class": "X", "properties": {)";
  for (int i = 200000; i > 0; --i) text += "\"k" + std::to_string(i) + "\": 1" + (i > 1 ? "," : "");
  text += "}}}";
  const auto start = std::chrono::steady_clock::now();
  MemoryRegistry registry;
  ASSERT_TRUE(ParseSnapshot(text, &registry).ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(registry.root()->properties.AsDictionary()->size(), 200000u);
}

// A chain of classes each deriving from the next is checked for cycles in time linear in its
// length (16,000 classes load in tens of milliseconds; it was half a minute): four times the chain
// takes about four times as long, far from sixteen.
TEST(ParseSnapshot, LongClassChainsLoadInTime) {
  const auto load = [](int classes) {
    std::string text = R"({"classes": {)";
    for (int i = 0; i < classes; ++i)
      text += "\"C" + std::to_string(i) + "\": \"C" + std::to_string(i + 1) + "\", ";
    text += "\"C" + std::to_string(classes) + R"(": "Base"}, "root": {"class": "C0"}})";
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      MemoryRegistry registry;
      EXPECT_TRUE(ParseSnapshot(text, &registry).ok());
      fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    }
    return fastest;
  };
  const auto short_chain = load(4000);
  const auto long_chain = load(16000);
  EXPECT_LT(long_chain, 10 * short_chain);
  EXPECT_LT(long_chain, std::chrono::seconds(5));
}

// Text read in pieces of any size loads as it does whole, and one refused is refused with the same
// place named.
TEST(LoadSnapshotText, AgreesWithTheWholeTextAtEveryPieceSize) {
  class Pieces : public TextSource {
   public:
    Pieces(std::string_view text, std::size_t piece) : left_(text), piece_(piece) {}
    Status Read(char* buffer, std::size_t size, std::size_t* got) override {
      *got = left_.substr(0, std::min(piece_, size)).copy(buffer, size);
      left_.remove_prefix(*got);
      return Status::Ok();
    }

   private:
    std::string_view left_;
    std::size_t piece_;
  };
  std::vector<std::string> texts = {ReadFile(testing::SourceDir() + "/examples/san.json")};
  for (const auto& row : testing::Rows("registry/malformed.txt")) texts.push_back(row.at(0));
  for (const std::string& text : texts) {
    MemoryRegistry whole;
    const Status whole_status = ParseSnapshot(text, &whole);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      Pieces pieces(text, piece);
      MemoryRegistry chunked;
      const Status status = LoadSnapshotText(pieces, &chunked);
      EXPECT_EQ(status.message(), whole_status.message()) << piece;
      if (whole_status.ok()) {
        EXPECT_EQ(SerializeSnapshot(chunked), SerializeSnapshot(whole));
      }
    }
  }
  // Places are counted across the reader's chunks of 64 KiB, with the fault on either side of a
  // chunk's end.
  for (const std::size_t pad : {65470, 65480, 65490}) {
    const std::string text = R"({"root": {"class": "X", "properties": {"k": ")" +
                             std::string(pad, 'a') + "\",\n  \"j\": 1,\n  x}}}";
    MemoryRegistry registry;
    EXPECT_EQ(ParseSnapshot(text, &registry).message(),
              "syntax error at line 3, column 3: unexpected 'x'")
        << pad;
  }
  // A read that fails part way is not taken for the end of the text.
  class Failing : public TextSource {
   public:
    Status Read(char* buffer, std::size_t, std::size_t* got) override {
      if (calls_++ > 0) return Status::Error(kRegistryIoError, "Input/output error");
      *got = std::string_view("{\"root\": {\"class\": \"X\"}}").copy(buffer, 3);
      return Status::Ok();
    }

   private:
    int calls_ = 0;
  } failing;
  MemoryRegistry registry;
  EXPECT_EQ(LoadSnapshotText(failing, &registry).message(), "Input/output error");
  // Memory that runs out part way refuses the text like any other fault.
  class Exhausting : public TextSource {
   public:
    Status Read(char*, std::size_t, std::size_t*) override { throw std::bad_alloc(); }
  } exhausting;
  EXPECT_EQ(LoadSnapshotText(exhausting, &registry).message(), "not enough memory to load it");
}

// Every text of the fuzz corpus is taken or refused as the loader answered it before it read on
// one thread, and a text taken saves back the same.
TEST(LoadSnapshotText, AnswersTheCorpusAsBefore) {
  const auto fnv = [](const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(hex);
  };
  for (const auto& row : testing::Rows("registry/corpus_answers.txt")) {
    MemoryRegistry registry;
    const Status loaded = ParseSnapshot(
        ReadFile(testing::SourceDir() + "/fuzz/corpus/snapshot/" + row.at(0)), &registry);
    EXPECT_EQ(loaded.ok() ? "taken " + fnv(SerializeSnapshot(registry)) : "refused", row.at(1))
        << row[0] << ": " << loaded.message();
  }
}

// The example is in the saved layout (tests/golden/san-saved.json shows a save of it).
TEST(SerializeSnapshot, TheExampleIsInTheSavedLayout) {
  const std::string example = ReadFile(testing::SourceDir() + "/examples/san.json");
  MemoryRegistry registry;
  ASSERT_TRUE(ParseSnapshot(example, &registry).ok());
  EXPECT_EQ(SerializeSnapshot(registry), example);
}

}  // namespace
}  // namespace halvane
