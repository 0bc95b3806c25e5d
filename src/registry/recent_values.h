// Tables of the values and keys a snapshot load met last, so that the values and keys a large
// snapshot repeats millions of times are made once and shared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/key.h"
#include "registry/property_value.h"

namespace halvane {

// A hash of a text's length and of its first and last eight bytes, for tables that only catch
// repeats: the texts a registry repeats differ there, and a text is not walked whole for each
// of the millions of values and keys of a large snapshot.
inline std::uint64_t QuickHash(std::string_view text, std::uint64_t seed) {
  const std::size_t n = std::min<std::size_t>(text.size(), 8);
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i) {
    head = head << 8 | static_cast<unsigned char>(text[i]);
    tail = tail << 8 | static_cast<unsigned char>(text[text.size() - n + i]);
  }
  std::uint64_t h = (seed ^ text.size()) * 0x9E3779B97F4A7C15u;
  h = (h ^ head) * 0xC2B2AE3D27D4EB4Fu;
  h = (h ^ tail) * 0x165667B19E3779F9u;
  return h ^ (h >> 29);
}

// Values that recur across a snapshot's entries (vendor and model texts, states, small numbers,
// class names) are made once and shared: values never change once made, and a host's thousands
// of logical units mostly repeat a handful of them. A fixed table of recent values, indexed by a
// hash of the content, catches the repeats in bounded memory; a value that is not in it is made
// afresh.
//
// Texts are copied from the parser's buffer, never taken: the copy is one block of the text's
// size, and the parser keeps a buffer that has grown to its longest text.
class RecentValues {
 public:
  PropertyValue String(const std::string& text) {
    if (text.size() > kLongest) return PropertyValue::String(text);
    PropertyValue& slot = slots_[QuickHash(text, kStringSeed) % kSlots];
    if (const std::string* held = slot.AsString(); held && *held == text) return slot;
    slot = PropertyValue::String(text);
    return slot;
  }
  PropertyValue OfData(Data bytes) {
    if (bytes.size() > kLongest) return PropertyValue::OfData(std::move(bytes));
    PropertyValue& slot =
        slots_[QuickHash(
                   std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                   kDataSeed) %
               kSlots];
    if (const Data* held = slot.AsData(); held && *held == bytes) return slot;
    slot = PropertyValue::OfData(std::move(bytes));
    return slot;
  }
  PropertyValue Integer(std::int64_t v) {
    if (v < 0 || v >= static_cast<std::int64_t>(kSmallIntegers))
      return PropertyValue::OfNumber(Number::FromInt64(v));
    std::optional<PropertyValue>& slot = integers_[static_cast<std::size_t>(v)];
    if (!slot) slot = PropertyValue::OfNumber(Number::FromInt64(v));
    return *slot;
  }
  PropertyValue Unsigned(std::uint64_t v) {
    if (v >= kSmallIntegers) return PropertyValue::OfNumber(Number::FromUInt64(v));
    std::optional<PropertyValue>& slot = unsigned_[v];
    if (!slot) slot = PropertyValue::OfNumber(Number::FromUInt64(v));
    return *slot;
  }

 private:
  static constexpr std::size_t kLongest = 64;
  static constexpr std::size_t kSlots = 4096;
  static constexpr std::size_t kSmallIntegers = 4096;  // LUN numbers, ids and codes

  static constexpr std::size_t kStringSeed = 1469598103934665603u;
  static constexpr std::size_t kDataSeed = 7809847782465536322u;

  std::vector<PropertyValue> slots_ =
      std::vector<PropertyValue>(kSlots, PropertyValue::Boolean(false));
  std::optional<PropertyValue> integers_[kSmallIntegers];
  std::optional<PropertyValue> unsigned_[kSmallIntegers];
};

// Keys as the parser hands them over, turned into Keys through a small table of those met last:
// a snapshot repeats a few dozen keys millions of times, and a Key made afresh takes a lock.
class RecentKeys {
 public:
  Key Get(const std::string& text) {
    std::optional<Key>& slot = slots_[Slot(text)];
    if (!slot || slot->str() != text) slot = Key(text);
    return *slot;
  }

 private:
  static constexpr std::size_t kSlots = 512;
  static std::size_t Slot(const std::string& text) { return QuickHash(text, 0) % kSlots; }
  std::optional<Key> slots_[kSlots];
};

}  // namespace halvane
