#include "registry/snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "registry/snapshot_file.h"
#include "registry/snapshot_parser.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;
using testing::Num;
using testing::ReadFile;
using testing::Str;

// Why text is refused, after the file's path; empty when it is taken.
std::string Refusal(const std::string& text) {
  testing::TempDir dir;
  const std::string why = testing::LoadText(dir, text).status().message();
  return why.empty() ? why : why.substr(dir.path().size() + sizeof "/snapshot.json: " - 1);
}

// What a save of registry writes.
std::string Saved(DeviceRegistry& registry) {
  const StatusOr<std::string> text = registry.WriteSnapshot();
  EXPECT_TRUE(text.ok()) << text.status().message();
  return text.ok() ? *text : "";
}

// A control byte, other than a line end, in text.
bool HasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; });
}

// Every kind of value is read, and read the same again from what a save writes.
TEST(SnapshotRegistry, ReadsEveryKindOfValueAndSavesItBack) {
  TwinRegistry registry(R"({
    "classes": {"Leaf": "Base"},
    "root": {"class": "Leaf", "write-status": "0xE00002C7", "properties": {
      "s": "text\u0001", "i": -5, "big": 18446744073709551615, "f": 1.0, "e": 1e3, "b": true,
      "a": [1, "x"], "d": {"$data": "0a:0B 0c0D"}, "empty": {"$data": ""},
      "dict": {"$data": "00", "other": 1}, "none": {}, "no items": []}}})");
  TwinRegistry replay(Saved(registry));
  for (TwinRegistry* r : {&registry, &replay}) {
    const RegistryEntry root = r->First("Base");
    ASSERT_TRUE(root);
    const auto p = [&](std::string_view key) {
      return r->ValueOf(root, key).value_or(Dict({{"missing", Num(1)}}));
    };
    EXPECT_EQ(p("s"), Str("text\x01"));
    EXPECT_EQ(p("i"), Num(-5));
    EXPECT_EQ(p("big"), PropertyValue::UInt64(18446744073709551615u));
    EXPECT_FALSE(p("f").AsInt64());
    EXPECT_FALSE(p("e").AsInt64());
    EXPECT_EQ(p("b"), PropertyValue::Boolean(true));
    EXPECT_EQ(p("a"), PropertyValue::OfArray({Num(1), Str("x")}));
    EXPECT_EQ(p("no items"), PropertyValue::OfArray({}));
    EXPECT_EQ(p("d"), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(p("empty"), Bytes({}));
    EXPECT_EQ(p("dict"), Dict({{"$data", Str("00")}, {"other", Num(1)}}));
    EXPECT_EQ(r->DescribeWrite(root, {}, "p").status().code(), kUnsupported);
  }
  EXPECT_EQ(Saved(replay), Saved(registry));
}

// Each refusal names its place (an empty one: the text is taken): the rows, nesting one level
// past the bound and not, and faults either side of the end of a 64 KiB chunk of the file.
TEST(SnapshotRegistry, RefusesMalformedFormsAndSaysWhere) {
  const auto nest = [](const std::string& entry) {
    return R"({"class": "X", "children": [)" + entry + "]}";
  };
  std::string deepest = R"({"class": "X"})";
  for (int i = 1; i < kMaxSnapshotDepth; ++i) deepest = nest(deepest);
  std::vector<std::vector<std::string>> cases = testing::Rows("registry/malformed.txt");
  cases.push_back({R"({"root": )" + nest(deepest) + "}", "is nested deeper than 256 levels"});
  cases.push_back({R"({"root": )" + deepest + "}", ""});
  cases.push_back({R"({"root": {"class": "X", "received-settings": [{"k": )" +
                       std::string(256, '[') + std::string(256, ']') + "}]}}",
                   "root.received-settings[0].k[0][0]"});
  // Values nest as deep as entries under the properties' own level.
  const int levels = kMaxSnapshotDepth - 1;
  std::string dictionaries = "1";
  for (int i = 0; i < levels; ++i) dictionaries = R"({"k": )" + dictionaries + "}";
  for (const std::string& value :
       {std::string(levels, '[') + std::string(levels, ']'), dictionaries})
    cases.push_back({R"({"root": {"class": "X", "properties": {"a": )" + value + "}}}", ""});
  for (const std::size_t pad : {65470, 65480, 65490}) {
    cases.push_back({R"({"root": {"class": "X", "properties": {"k": ")" + std::string(pad, 'a') +
                         "\",\n  \"j\": 1,\n  x}}}",
                     "syntax error at line 3, column 3: unexpected 'x'"});
  }
  for (const auto& c : cases) {
    const std::string refusal = Refusal(c.at(0));
    EXPECT_TRUE(c.at(1).empty() ? refusal.empty() : refusal.find(c[1]) != std::string::npos)
        << "got: " << refusal << "\nwanted: " << c[1];
  }
}

// Keys in descending order and a chain of classes each deriving from the next load in time that
// grows with their number, not its square: 200,000 keys and 300,000 classes take about a second
// each; in quadratic time they would take hours, and the run would end by its timeout. And a
// snapshot's recurring values are shared between entries: with more different values than the
// loader keeps at hand, and repeats among them (small and larger integers, each text given twice
// or once), every entry still reads back exactly the value its own text gave.
TEST(SnapshotRegistry, ManyKeysLongClassChainsAndSharedValuesLoad) {
  std::string text = R"({"classes": {)";
  constexpr int kClasses = 300000;
  for (int i = 0; i < kClasses; ++i)
    text += "\"C" + std::to_string(i) + "\": \"C" + std::to_string(i + 1) + "\", ";
  text +=
      "\"C" + std::to_string(kClasses) + R"(": "Base"}, "root": {"class": "C0", "properties": {)";
  for (int i = 200000; i > 0; --i) text += "\"k" + std::to_string(i) + "\": 1" + (i > 1 ? "," : "");
  text += R"(}, "children": [)";
  constexpr int kEntries = 6000;
  const auto value = [](int i) { return i % 4500; };
  for (int i = 0; i < kEntries; ++i) {
    char d[8];
    std::snprintf(d, sizeof d, "%04x", value(i));
    const std::string v = std::to_string(value(i));
    text += std::string(i ? "," : "") + R"({"class": "E", "properties": {"s": "v)" + v +
            R"(", "n": )" + v + R"(, "d": {"$data": ")" + d + R"("}}})";
  }
  TwinRegistry registry(text + "]}}");
  const RegistryEntry root = registry.First("Base");
  ASSERT_TRUE(root);
  for (const char* key : {"k1", "k100000", "k200000"}) EXPECT_TRUE(registry.ValueOf(root, key));
  StatusOr<RegistryIterator> children = registry.ChildIterator(root);
  int i = 0;
  for (RegistryEntry entry = children->Next(); entry; entry = children->Next(), ++i) {
    const int v = value(i);
    const std::string number = std::to_string(v);
    EXPECT_EQ(registry.ValueOf(entry, "s"), Str("v" + number)) << i;
    EXPECT_EQ(registry.ValueOf(entry, "n"), Num(v)) << i;
    EXPECT_EQ(registry.ValueOf(entry, "d"),
              Bytes({static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xff)}))
        << i;
  }
  EXPECT_EQ(i, kEntries);
}

// The entries of a parse, each told by all it holds.
auto Entries(const SnapshotContent& c) {
  std::vector<std::tuple<std::uint32_t, std::uint32_t, StatusCode, PropertyValue, Dictionary,
                         std::optional<std::vector<Dictionary>>>>
      entries;
  for (const SnapshotTree::Entry& e : c.tree->entries()) {
    entries.emplace_back(
        e.parent, e.end, e.write_status, c.tree->Value(e.class_name), c.tree->Members(e.properties),
        e.received ? std::optional(c.tree->received_settings()[e.received - 1]) : std::nullopt);
  }
  return entries;
}

// Every text (the example host, the refused rows, the fuzz corpus) parses in pieces of any size
// as it does whole, or is refused with the same place named; loaded from a file, it is refused
// with the path and a reason in words free of control bytes, or, when it is JSON, taken and saved
// as JSON free of control bytes, which loads again and saves the same.
TEST(SnapshotRegistry, EveryTextReadsAlikeInAnyPiecesAndReplaysAsSaved) {
  std::vector<std::string> texts = {ReadFile(testing::SourceDir() + "/examples/san.json")};
  for (const auto& row : testing::Rows("registry/malformed.txt")) texts.push_back(row.at(0));
  for (const auto& file :
       std::filesystem::directory_iterator(testing::SourceDir() + "/fuzz/corpus/snapshot"))
    texts.push_back(ReadFile(file.path()));
  std::size_t taken = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 200));
    const auto whole = testing::ParseText(text);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      const auto chunked = testing::ParseText(text, piece);
      EXPECT_EQ(chunked.status().message(), whole.status().message()) << piece;
      EXPECT_TRUE(!whole.ok() || !chunked.ok() ||
                  (Entries(*chunked) == Entries(*whole) && chunked->classes == whole->classes))
          << piece;
    }
    testing::TempDir dir;
    const auto loaded = testing::LoadText(dir, text);
    if (!loaded.ok()) {
      const std::string& why = loaded.status().message();
      EXPECT_EQ(why.rfind(dir.path() + "/snapshot.json: ", 0), 0u) << why;
      EXPECT_GT(why.size(), dir.path().size() + sizeof "/snapshot.json: ");
      EXPECT_FALSE(HasControlByte(why)) << why;
      continue;
    }
    ++taken;
    EXPECT_TRUE(nlohmann::json::accept(text));
    const std::string saved = Saved(**loaded);
    EXPECT_TRUE(nlohmann::json::accept(saved)) << saved.substr(0, 2000);
    EXPECT_FALSE(HasControlByte(saved)) << saved.substr(0, 2000);
    TwinRegistry replay(saved);
    EXPECT_EQ(Saved(replay), saved);
  }
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, texts.size());
  // A read that fails part way is not taken for the end of the text.
  struct Failing : TextSource {
    int calls = 0;
    StatusOr<std::size_t> Read(char* buffer, std::size_t) override {
      if (calls++ > 0) return Status::Error(kIoError, "Input/output error");
      return std::string_view("{\"root\": {\"class\": \"X\"}}").copy(buffer, 3);
    }
  } failing;
  EXPECT_EQ(ParseSnapshotText(failing).status().message(), "Input/output error");
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

// A value is read only as what it exactly is: a number as an integer of a width it fits, a text on
// a line only when it is UTF-8, which no snapshot can hold (the rest of the line's rule the port
// blocks show).
TEST(PropertyValue, ReadsOnlyWhatTheValueExactlyIs) {
  EXPECT_FALSE(TextForLine(PropertyValue::String("\xFF"), 256));
  // A number, and how many of the widths 32 and 64 bits it fits.
  const std::pair<Number, int> cases[] = {{Number::FromInt64(0), 2},
                                          {Number::FromInt64(-2147483648LL), 2},
                                          {Number::FromInt64(2147483648LL), 1},
                                          {Number::FromInt64(INT64_MIN), 1},
                                          {Number::FromUInt64(9223372036854775807ULL), 1},
                                          {Number::FromUInt64(9223372036854775808ULL), 0},
                                          {Number::FromDouble(1.0), 0},
                                          {Number::FromDouble(2.5), 0}};
  for (const auto& [n, fits] : cases) {
    EXPECT_EQ(n.AsInt32().has_value(), fits == 2);
    EXPECT_EQ(n.AsInt64().has_value(), fits >= 1);
  }
}

// Items in any order come out in key order, a few sorted in place and many not; a key given twice
// is refused.
TEST(Dictionary, FromItemsSortsAndRefusesAKeyTwice) {
  for (int n : {3, 40}) {
    std::vector<Dictionary::value_type> items;
    for (int i = n; i > 0; --i) items.emplace_back(std::to_string(100 + i), Num(i));
    const StatusOr<Dictionary> dict = Dictionary::FromItems(items);
    ASSERT_TRUE(dict.ok());
    for (int i = 0; i < n; ++i) EXPECT_EQ((dict->begin() + i)->second, Num(i + 1)) << n;
    items.push_back(items[1]);
    EXPECT_FALSE(Dictionary::FromItems(items).ok()) << n;
  }
}

}  // namespace
}  // namespace halvane
