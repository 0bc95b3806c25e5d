#include "registry/value_text.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "base/text.h"

namespace halvane {

std::optional<std::string_view> TextOf(const PropertyValue* value) {
  std::string_view text;
  if (value == nullptr) return std::nullopt;
  if (const std::string* string = value->AsString()) {
    text = *string;
  } else if (const Data* bytes = value->AsData()) {
    text = std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  } else {
    return std::nullopt;
  }
  return text.substr(0, text.find('\0'));
}
std::optional<std::string_view> TextOf(const std::optional<PropertyValue>& value) {
  return TextOf(value ? &*value : nullptr);
}

std::optional<std::string> WwnOfData(const PropertyValue& value) {
  const Data* data = value.AsData();
  if (data == nullptr || data->size() != 8) return std::nullopt;
  return WwnText(std::span<const std::uint8_t, 8>(data->data(), 8));
}

std::optional<std::string> WwnOfNumber(const PropertyValue& value) {
  const std::optional<std::int64_t> v = value.AsInt64();
  if (!v) return std::nullopt;
  WwnBytes bytes = WwnBytesOf(static_cast<std::uint64_t>(*v));
  std::reverse(bytes.begin(), bytes.end());
  return WwnText(bytes);
}

std::optional<std::string> KnownWWN(const PropertyValue* value) {
  const Data* bytes = value ? value->AsData() : nullptr;
  // All ones is how the kernel says it does not know the name.
  if (bytes && std::all_of(bytes->begin(), bytes->end(), [](std::uint8_t b) { return b == 0xFF; }))
    return std::nullopt;
  return value ? WwnOfData(*value) : std::nullopt;
}
std::optional<std::string> KnownWWN(const std::optional<PropertyValue>& value) {
  return KnownWWN(value ? &*value : nullptr);
}

}  // namespace halvane
