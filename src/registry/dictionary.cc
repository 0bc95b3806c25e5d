#include "registry/dictionary.h"

#include <algorithm>

namespace halvane {
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
