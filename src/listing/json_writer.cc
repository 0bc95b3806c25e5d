#include "listing/json_writer.h"

#include <algorithm>

#include "inventory/port_info.h"
#include "registry/value_text.h"

namespace halvane {

// The text of a String, or of the bytes a live host read where it expected text but found no
// UTF-8 (the writer turns what is not UTF-8 into U+FFFD); up to its first zero character, as a
// line would show it.
void MemberText(JsonWriter& json, std::string_view key, const PropertyValue* value) {
  if (const auto text = TextOf(value)) {
    json.Key(key);
    json.String(*text);
  }
}
void MemberText(JsonWriter& json, std::string_view key, const std::optional<PropertyValue>& value) {
  MemberText(json, key, value ? &*value : nullptr);
}
void MemberText(JsonWriter& json, std::string_view key, const std::optional<std::string>& text) {
  if (!text) return;
  json.Key(key);
  json.String(*text);
}

void MemberInteger(JsonWriter& json, std::string_view key,
                   const std::optional<PropertyValue>& value, IntegerRange range) {
  if (const std::optional<Number> number = IntegerIn(value, range)) {
    json.Key(key);
    json.Integer(*number);
  }
}

void MemberWWN(JsonWriter& json, std::string_view key, const PropertyValue* value) {
  MemberText(json, key, KnownWWN(value));
}

void MemberWWN(JsonWriter& json, std::string_view key, const std::optional<PropertyValue>& value) {
  MemberWWN(json, key, value ? &*value : nullptr);
}

void MemberTexts(JsonWriter& json, std::string_view key, const std::vector<std::string>& items) {
  if (items.empty()) return;
  json.Key(key);
  json.Open('[');
  for (const std::string& item : items) json.String(item);
  json.Close(']');
}

void MemberIntegers(JsonWriter& json, std::string_view key, const std::vector<unsigned>& items) {
  if (items.empty()) return;
  json.Key(key);
  json.Open('[');
  for (const unsigned item : items) json.Integer(Number::FromUInt64(item));
  json.Close(']');
}

}  // namespace halvane
