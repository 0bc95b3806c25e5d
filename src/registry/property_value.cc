#include "registry/property_value.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <unordered_set>

namespace halvane {

struct PropertyValue::Rep {
  std::variant<Dictionary, Array, std::string, Number, Data, bool> v;
  mutable std::atomic<std::size_t> holders{1};
};

PropertyValue::PropertyValue(const PropertyValue& other) noexcept : rep_(other.rep_) {
  if (rep_ != nullptr) rep_->holders.fetch_add(1, std::memory_order_relaxed);
}

PropertyValue& PropertyValue::operator=(const PropertyValue& other) noexcept {
  if (other.rep_ != nullptr) other.rep_->holders.fetch_add(1, std::memory_order_relaxed);
  Release(std::exchange(rep_, other.rep_));
  return *this;
}

PropertyValue& PropertyValue::operator=(PropertyValue&& other) noexcept {
  if (this != &other) Release(std::exchange(rep_, std::exchange(other.rep_, nullptr)));
  return *this;
}

PropertyValue::~PropertyValue() { Release(rep_); }

void PropertyValue::Release(const Rep* rep) noexcept {
  if (rep != nullptr && rep->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep;
}

namespace {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace

Key::Key(std::string_view text) {
  // Held for the life of the process and never released: keys are shared by every table that
  // uses them, and a process holds a bounded vocabulary plus whatever keys its input names.
  static std::mutex mutex;
  static auto* const texts = new std::unordered_set<std::string, TextHash, std::equal_to<>>();
  const std::lock_guard<std::mutex> lock(mutex);
  auto it = texts->find(text);
  if (it == texts->end()) it = texts->emplace(text).first;
  text_ = &*it;
}

bool Number::ToInt32(std::int32_t* out) const {
  std::int64_t wide = 0;
  if (!ToInt64(&wide) || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  *out = static_cast<std::int32_t>(wide);
  return true;
}

bool Number::ToInt64(std::int64_t* out) const {
  if (const auto* s = std::get_if<std::int64_t>(&v_)) {
    *out = *s;
    return true;
  }
  if (const auto* u = std::get_if<std::uint64_t>(&v_)) {
    if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    *out = static_cast<std::int64_t>(*u);
    return true;
  }
  return false;
}

bool Number::operator==(const Number& other) const {
  // An integer given signed and the same integer given unsigned are the same number.
  std::int64_t a = 0;
  std::int64_t b = 0;
  if (ToInt64(&a) && other.ToInt64(&b)) return a == b;
  return v_ == other.v_;
}

PropertyValue PropertyValue::String(std::string bytes) {
  return PropertyValue(new Rep{std::move(bytes)});
}
PropertyValue PropertyValue::OfNumber(Number n) { return PropertyValue(new Rep{n}); }
PropertyValue PropertyValue::OfData(Data bytes) { return PropertyValue(new Rep{std::move(bytes)}); }
PropertyValue PropertyValue::Boolean(bool b) { return PropertyValue(new Rep{b}); }
PropertyValue PropertyValue::OfArray(Array items) {
  return PropertyValue(new Rep{std::move(items)});
}
PropertyValue PropertyValue::OfDictionary(Dictionary members) {
  return PropertyValue(new Rep{std::move(members)});
}

PropertyValue::Kind PropertyValue::kind() const { return static_cast<Kind>(rep_->v.index()); }

const std::string* PropertyValue::AsString() const { return std::get_if<std::string>(&rep_->v); }
const Number* PropertyValue::AsNumber() const { return std::get_if<Number>(&rep_->v); }
const Data* PropertyValue::AsData() const { return std::get_if<Data>(&rep_->v); }
const bool* PropertyValue::AsBoolean() const { return std::get_if<bool>(&rep_->v); }
const Array* PropertyValue::AsArray() const { return std::get_if<Array>(&rep_->v); }
const Dictionary* PropertyValue::AsDictionary() const { return std::get_if<Dictionary>(&rep_->v); }

bool PropertyValue::operator==(const PropertyValue& other) const {
  return rep_ == other.rep_ || rep_->v == other.rep_->v;
}

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::optional<std::string_view> TextForLine(const PropertyValue& value, std::size_t area_size) {
  const std::string* s = value.AsString();
  if (s == nullptr || s->size() >= area_size || !IsValidUtf8(*s)) return std::nullopt;
  std::string_view text(*s);
  return text.substr(0, text.find('\0'));
}

Dictionary::Dictionary(std::initializer_list<value_type> items) {
  items_.reserve(items.size());
  for (const value_type& item : items) emplace(item.first, item.second);
}

namespace {
constexpr std::size_t kSortInPlace = 32;
}  // namespace

std::optional<Dictionary> Dictionary::FromItems(std::vector<value_type> items,
                                                std::string* duplicate) {
  auto less = [](const value_type& a, const value_type& b) { return a.first < b.first; };
  // Files are mostly written in key order already; then nothing needs to move. Registry tables
  // are small: those are sorted in place, since a merge sort would first ask for a buffer.
  if (std::is_sorted(items.begin(), items.end(), less)) {
    // nothing to move
  } else if (items.size() <= kSortInPlace) {
    for (auto it = items.begin(); it != items.end(); ++it)
      std::rotate(std::upper_bound(items.begin(), it, *it, less), it, it + 1);
  } else {
    std::stable_sort(items.begin(), items.end(), less);
  }
  auto same = std::adjacent_find(
      items.begin(), items.end(),
      [](const value_type& a, const value_type& b) { return a.first == b.first; });
  if (same != items.end()) {
    *duplicate = same->first.str();
    return std::nullopt;
  }
  Dictionary dict;
  dict.items_ = std::move(items);
  return dict;
}

namespace {
bool KeyLess(const Dictionary::value_type& item, std::string_view key) {
  return item.first.str() < key;
}
}  // namespace

Dictionary::iterator Dictionary::LowerBound(std::string_view key) {
  return std::lower_bound(items_.begin(), items_.end(), key, KeyLess);
}

Dictionary::const_iterator Dictionary::find(std::string_view key) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), key, KeyLess);
  return (it != items_.end() && it->first == key) ? it : items_.end();
}

const PropertyValue& Dictionary::at(std::string_view key) const {
  auto it = find(key);
  if (it == items_.end()) throw std::out_of_range("no such key");
  return it->second;
}

std::pair<Dictionary::iterator, bool> Dictionary::emplace(Key key, PropertyValue value) {
  auto it = LowerBound(key);
  if (it != items_.end() && it->first == key) return {it, false};
  return {items_.emplace(it, std::move(key), std::move(value)), true};
}

void Dictionary::insert_or_assign(Key key, PropertyValue value) {
  auto it = LowerBound(key);
  if (it != items_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    items_.emplace(it, std::move(key), std::move(value));
  }
}

std::string_view EscapeControls(std::string_view text, std::string* holder) {
  const auto control = [&](std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return 1;
    // U+0080 to U+009F: C2 80 to C2 9F.
    if (c == 0xC2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
      return 2;
    return 0;
  };
  std::size_t i = 0;
  while (i < text.size() && control(i) == 0) ++i;
  if (i == text.size()) return text;
  holder->assign(text.substr(0, i));
  while (i < text.size()) {
    const int n = control(i);
    if (n == 0) {
      holder->push_back(text[i++]);
      continue;
    }
    for (int k = 0; k < n; ++k, ++i) {
      holder->append("\\x");
      static const char kDigits[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(text[i]);
      holder->push_back(kDigits[byte >> 4]);
      holder->push_back(kDigits[byte & 0x0F]);
    }
  }
  return *holder;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint64_t> ParsePrefixedHex(std::string_view text, std::size_t max_digits) {
  if (text.size() < 3 || text.size() > 2 + max_digits || text[0] != '0' ||
      (text[1] != 'x' && text[1] != 'X')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text.substr(2)) {
    const int d = HexDigitValue(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(d);
  }
  return value;
}

void AppendHexByte(std::string& out, std::uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

const PropertyValue* FindMember(const Dictionary& dict, std::string_view key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}

}  // namespace halvane
