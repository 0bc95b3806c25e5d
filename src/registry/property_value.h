// The values that registry properties, port records and settings are made of, and the tables of
// them (string keys to values) that every entry's properties, every port record and every
// settings request is. A value may hold a table and a table holds values, so the two are one unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "registry/key.h"

namespace halvane {

class PropertyValue;
class Dictionary;

using Array = std::vector<PropertyValue>;

// A number keeps exactly what it was given: a signed or an unsigned 64-bit integer, or a
// floating-point value. Only integers that fit the asked width can be read as integers; a
// floating-point value never can, even one without a fraction, because it was not given as an
// integer.
class Number {
 public:
  static Number FromInt64(std::int64_t v) { return Number(v); }
  static Number FromUInt64(std::uint64_t v) { return Number(v); }
  static Number FromDouble(double v) { return Number(v); }

  // The number as a signed integer of 32 or 64 bits; nothing when it is no such integer.
  std::optional<std::int32_t> AsInt32() const;
  std::optional<std::int64_t> AsInt64() const;

  const std::variant<std::int64_t, std::uint64_t, double>& raw() const { return v_; }
  bool operator==(const Number& other) const;

 private:
  explicit Number(std::variant<std::int64_t, std::uint64_t, double> v) : v_(v) {}
  std::variant<std::int64_t, std::uint64_t, double> v_;
};

// A tagged, immutable value of one of six kinds. Copies share the same contents, so handing a
// property table or a large array around costs a reference count, never a deep copy. The count
// sits in the same block as the contents, and a value is one pointer wide: a large snapshot holds
// millions of them.
class PropertyValue {
 public:
  PropertyValue(const PropertyValue& other) noexcept;
  PropertyValue(PropertyValue&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  PropertyValue& operator=(const PropertyValue& other) noexcept;
  PropertyValue& operator=(PropertyValue&& other) noexcept;
  ~PropertyValue();

  enum class Kind { kDictionary, kArray, kString, kNumber, kData, kBoolean };

  // A String holds bytes. They are meant to be UTF-8; whether they are is asked with
  // IsValidUtf8(), since text from drivers and from the command line is not checked on entry.
  static PropertyValue String(std::string bytes);
  static PropertyValue OfNumber(Number n);
  static PropertyValue Int64(std::int64_t v) { return OfNumber(Number::FromInt64(v)); }
  static PropertyValue UInt64(std::uint64_t v) { return OfNumber(Number::FromUInt64(v)); }
  static PropertyValue OfData(Data bytes);
  static PropertyValue Boolean(bool b);
  static PropertyValue OfArray(Array items);
  static PropertyValue OfDictionary(Dictionary members);

  Kind kind() const;

  // Each accessor answers the value when it is of that kind and nullptr otherwise.
  const std::string* AsString() const;
  const Number* AsNumber() const;
  const Data* AsData() const;
  const bool* AsBoolean() const;
  const Array* AsArray() const;
  const Dictionary* AsDictionary() const;
  // A Number's value as Number::AsInt32 and AsInt64 give it; nothing for any other kind.
  std::optional<std::int32_t> AsInt32() const;
  std::optional<std::int64_t> AsInt64() const;

  // Deep, kind-sensitive equality.
  bool operator==(const PropertyValue& other) const;

 private:
  struct Rep;
  // Takes the reference that a new Rep starts with.
  explicit PropertyValue(const Rep* rep) : rep_(rep) {}
  static void Release(const Rep* rep) noexcept;
  const Rep* rep_;
};

// The text of a String value as a line shows it. The conversion fills an area of area_size
// bytes that must also hold a terminating zero, so a text of area_size bytes or more does not
// fit; a text that does not fit, is not UTF-8, or a value that is not a String gives nothing.
// What is answered ends before the first zero character, as a terminated text would.
std::optional<std::string_view> TextForLine(const PropertyValue& value, std::size_t area_size);

// Kept sorted by key in one block of memory: registry tables are small and numerous, so a node
// per member would cost more than the members. Iteration is in key order.
class Dictionary {
 public:
  using value_type = std::pair<Key, PropertyValue>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  Dictionary() = default;
  // A key given twice keeps its first value, as a map built from the same list would.
  Dictionary(std::initializer_list<value_type> items);
  // A Dictionary of items in any order, sorted once: O(n log n) however the keys arrive. A key
  // given twice is refused, the key named.
  static StatusOr<Dictionary> FromItems(std::vector<value_type> items);

  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  const_iterator find(std::string_view key) const;
  // Adds key unless it is present; answers where it stands and whether it was added.
  std::pair<iterator, bool> emplace(Key key, PropertyValue value);
  // Adds key, or replaces its value.
  void insert_or_assign(Key key, PropertyValue value);

  bool operator==(const Dictionary& other) const { return items_ == other.items_; }

 private:
  iterator LowerBound(std::string_view key);
  std::vector<value_type> items_;
};

// The member of a Dictionary under key, or nullptr.
const PropertyValue* FindMember(const Dictionary& dict, std::string_view key);
// The same, copied (a reference count); nothing when there is none.
std::optional<PropertyValue> MemberValue(const Dictionary& dict, std::string_view key);

}  // namespace halvane
