// The values that registry properties, port records and settings are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace halvane {

class PropertyValue;
class Dictionary;

using Array = std::vector<PropertyValue>;
using Data = std::vector<std::uint8_t>;

// A number keeps exactly what it was given: a signed or an unsigned 64-bit integer, or a
// floating-point value. Only integers that fit the asked width can be read as integers; a
// floating-point value never can, even one without a fraction, because it was not given as an
// integer.
class Number {
 public:
  static Number FromInt64(std::int64_t v) { return Number(v); }
  static Number FromUInt64(std::uint64_t v) { return Number(v); }
  static Number FromDouble(double v) { return Number(v); }

  // True, with the value in *out, when the number is an integer within the signed 32-bit range.
  bool ToInt32(std::int32_t* out) const;
  // True, with the value in *out, when the number is an integer within the signed 64-bit range.
  bool ToInt64(std::int64_t* out) const;

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
  static PropertyValue Int32(std::int32_t v) { return OfNumber(Number::FromInt64(v)); }
  static PropertyValue Int64(std::int64_t v) { return OfNumber(Number::FromInt64(v)); }
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

  // Deep, kind-sensitive equality.
  bool operator==(const PropertyValue& other) const;

 private:
  struct Rep;
  // Takes the reference that a new Rep starts with.
  explicit PropertyValue(const Rep* rep) : rep_(rep) {}
  static void Release(const Rep* rep) noexcept;
  const Rep* rep_;
};

// A Dictionary's key. The same few dozen keys name the members of every table a registry holds
// (each of a host's thousands of logical units has the same dozen), so each distinct text is
// held once for the life of the process and a key is one pointer to it: equal keys are the same
// pointer, and a table's member costs a pointer for its key, never a copy of the text.
class Key {
 public:
  // Implicit, so that a key is written as its text wherever one is expected.
  Key(std::string_view text);  // NOLINT(google-explicit-constructor)
  Key(const std::string& text) : Key(std::string_view(text)) {}  // NOLINT
  Key(const char* text) : Key(std::string_view(text)) {}         // NOLINT

  const std::string& str() const { return *text_; }
  operator std::string_view() const { return *text_; }  // NOLINT
  std::size_t size() const { return text_->size(); }

  bool operator==(const Key& other) const { return text_ == other.text_; }
  friend bool operator==(const Key& key, std::string_view text) { return *key.text_ == text; }
  friend bool operator==(const Key& key, const std::string& text) { return *key.text_ == text; }
  friend bool operator==(const Key& key, const char* text) { return *key.text_ == text; }
  // Keys order as their texts do.
  friend bool operator<(const Key& a, const Key& b) {
    return a.text_ != b.text_ && *a.text_ < *b.text_;
  }

 private:
  const std::string* text_;
};

// String keys to values, kept sorted by key in one block of memory: registry tables are small and
// numerous, so a node per member would cost more than the members. Iteration is in key order.
class Dictionary {
 public:
  using value_type = std::pair<Key, PropertyValue>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  Dictionary() = default;
  // A key given twice keeps its first value, as a map built from the same list would.
  Dictionary(std::initializer_list<value_type> items);
  // A Dictionary of items in any order, sorted once: O(n log n) however the keys arrive. When a
  // key is given twice, answers nothing and that key in *duplicate.
  static std::optional<Dictionary> FromItems(std::vector<value_type> items, std::string* duplicate);

  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }

  const_iterator find(std::string_view key) const;
  // The value under key, which must be present (std::out_of_range otherwise).
  const PropertyValue& at(std::string_view key) const;
  // Adds key unless it is present; answers where it stands and whether it was added.
  std::pair<iterator, bool> emplace(Key key, PropertyValue value);
  // Adds key, or replaces its value.
  void insert_or_assign(Key key, PropertyValue value);

  bool operator==(const Dictionary& other) const { return items_ == other.items_; }

 private:
  iterator LowerBound(std::string_view key);
  std::vector<value_type> items_;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// The text of a String value as a line shows it. The conversion fills an area of area_size
// bytes that must also hold a terminating zero, so a text of area_size bytes or more does not
// fit; a text that does not fit, is not UTF-8, or a value that is not a String gives nothing.
// What is answered ends before the first zero character, as a terminated text would.
std::optional<std::string_view> TextForLine(const PropertyValue& value, std::size_t area_size);

// Text as a line of the reports shows it: what the tool did not write itself may hold control
// characters (a device's identification, a driver's text), and C0 controls, DEL and the C1
// controls of UTF-8 are written as \xHH, byte by byte, so that no value can start a line of its
// own or drive the terminal. Answers text itself when nothing needs escaping, else the escaped
// form, kept in *holder.
std::string_view EscapeControls(std::string_view text, std::string* holder);

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char c);
// The value of "0x" (or "0X") followed by 1 to max_digits hexadecimal digits and nothing else,
// as the kernel and status texts write numbers; nothing for any other text.
std::optional<std::uint64_t> ParsePrefixedHex(std::string_view text, std::size_t max_digits);
// Appends a byte as two upper-case hexadecimal digits.
void AppendHexByte(std::string& out, std::uint8_t byte);

// The member of a Dictionary value under key, or nullptr.
const PropertyValue* FindMember(const Dictionary& dict, std::string_view key);

}  // namespace halvane
