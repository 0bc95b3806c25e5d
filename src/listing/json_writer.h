// The inventory document's JSON, written as it goes: a writer of values, 2-space indented,
// members in the order they are given, and the members that registry values become.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "listing/inventory_values.h"
#include "registry/property_value.h"

namespace halvane {

// Writes one JSON value as it goes, 2-space indented, members in the order they are given, so
// that a listing of any size is never held as a document in memory.
class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  void Open(char bracket) {
    Separate();
    out_ << bracket;
    counts_.push_back(0);
  }
  void Close(char bracket) {
    const bool had_members = counts_.back() > 0;
    counts_.pop_back();
    if (had_members) NewLine();
    out_ << bracket;
  }
  void Key(std::string_view key) {
    Separate();
    Quoted(key);
    out_ << ": ";
    after_key_ = true;
  }
  void String(std::string_view text) {
    Separate();
    Quoted(text);
  }
  // true, false or null.
  void Literal(std::string_view word) {
    Separate();
    out_ << word;
  }
  void Integer(const Number& number) {
    Separate();
    std::visit([this](auto v) { out_ << v; }, number.raw());
  }
  void End() { out_ << "\n"; }

 private:
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (counts_.empty()) return;
    if (counts_.back()++ > 0) out_ << ',';
    NewLine();
  }
  void NewLine() {
    static constexpr char kSpaces[] = "                                ";
    out_ << '\n';
    for (std::size_t left = 2 * counts_.size(); left > 0;) {
      const std::size_t n = std::min(left, sizeof kSpaces - 1);
      out_.write(kSpaces, static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  void Quoted(std::string_view text) {
    quoted_.clear();
    AppendJsonString(quoted_, text);
    out_ << quoted_;
  }

  std::ostream& out_;
  std::vector<std::size_t> counts_;  // members written so far, per open container
  bool after_key_ = false;
  std::string quoted_;
};

// A member of text: a String, or the bytes a live host read where it expected text but found no
// UTF-8 (written with U+FFFD for what is not UTF-8), up to its first zero character; nothing for
// another kind of value, or none.
void MemberText(JsonWriter& json, std::string_view key, const PropertyValue* value);
void MemberText(JsonWriter& json, std::string_view key, const std::optional<PropertyValue>& value);
void MemberText(JsonWriter& json, std::string_view key, const std::optional<std::string>& text);
// An integer member, when the value is an integer in range (IntegerIn).
void MemberInteger(JsonWriter& json, std::string_view key,
                   const std::optional<PropertyValue>& value, IntegerRange range);
// A WWN member from eight bytes of Data; nothing for the kernel's all-ones "unknown".
void MemberWWN(JsonWriter& json, std::string_view key, const PropertyValue* value);
void MemberWWN(JsonWriter& json, std::string_view key, const std::optional<PropertyValue>& value);
// An array member of texts, or of integers; nothing when there are none.
void MemberTexts(JsonWriter& json, std::string_view key, const std::vector<std::string>& items);
void MemberIntegers(JsonWriter& json, std::string_view key, const std::vector<unsigned>& items);

}  // namespace halvane
