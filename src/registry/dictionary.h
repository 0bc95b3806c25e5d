// Tables of registry values: string keys to values, which every entry's properties, every port
// record and every settings request is.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "registry/key.h"
#include "registry/property_value.h"

namespace halvane {

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
