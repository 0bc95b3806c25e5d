#include "registry/property_value.h"

#include <algorithm>
#include <atomic>
#include <limits>

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

std::optional<std::int32_t> Number::AsInt32() const {
  const std::optional<std::int64_t> wide = AsInt64();
  if (!wide || *wide < std::numeric_limits<std::int32_t>::min() ||
      *wide > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*wide);
}

std::optional<std::int64_t> Number::AsInt64() const {
  if (const auto* s = std::get_if<std::int64_t>(&v_)) return *s;
  if (const auto* u = std::get_if<std::uint64_t>(&v_)) {
    if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(*u);
  }
  return std::nullopt;
}

bool Number::operator==(const Number& other) const {
  // An integer given signed and the same integer given unsigned are the same number.
  const std::optional<std::int64_t> a = AsInt64();
  const std::optional<std::int64_t> b = other.AsInt64();
  if (a && b) return *a == *b;
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

std::optional<std::int32_t> PropertyValue::AsInt32() const {
  const Number* number = AsNumber();
  return number ? number->AsInt32() : std::nullopt;
}

std::optional<std::int64_t> PropertyValue::AsInt64() const {
  const Number* number = AsNumber();
  return number ? number->AsInt64() : std::nullopt;
}

bool PropertyValue::operator==(const PropertyValue& other) const {
  return rep_ == other.rep_ || rep_->v == other.rep_->v;
}

std::optional<std::string_view> TextForLine(const PropertyValue& value, std::size_t area_size) {
  const std::string* s = value.AsString();
  if (s == nullptr || s->size() >= area_size || !IsValidUtf8(*s)) return std::nullopt;
  std::string_view text(*s);
  return text.substr(0, text.find('\0'));
}

namespace {

// Tables this small are sorted in place; a merge sort would first ask for a buffer.
constexpr std::size_t kSortInPlace = 32;

bool KeyLess(const Dictionary::value_type& item, std::string_view key) {
  return item.first.str() < key;
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<value_type> items) {
  items_.reserve(items.size());
  for (const value_type& item : items) emplace(item.first, item.second);
}

StatusOr<Dictionary> Dictionary::FromItems(std::vector<value_type> items) {
  auto less = [](const value_type& a, const value_type& b) { return a.first < b.first; };
  // Files are mostly written in key order already; then nothing needs to move.
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
    return Status::Error(kBadArgument,
                         "the key \"" + same->first.str() + "\" appears twice in one object");
  }
  Dictionary dict;
  dict.items_ = std::move(items);
  return dict;
}

Dictionary::iterator Dictionary::LowerBound(std::string_view key) {
  return std::lower_bound(items_.begin(), items_.end(), key, KeyLess);
}

Dictionary::const_iterator Dictionary::find(std::string_view key) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), key, KeyLess);
  return (it != items_.end() && it->first == key) ? it : items_.end();
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

const PropertyValue* FindMember(const Dictionary& dict, std::string_view key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}

std::optional<PropertyValue> MemberValue(const Dictionary& dict, std::string_view key) {
  const PropertyValue* value = FindMember(dict, key);
  return value ? std::optional<PropertyValue>(*value) : std::nullopt;
}

}  // namespace halvane
