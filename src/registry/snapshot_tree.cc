#include "registry/snapshot_tree.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace halvane {
namespace {

std::size_t HashBytes(const void* bytes, std::size_t size, std::size_t kind) {
  const std::size_t h =
      std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(bytes), size));
  return h ^ (kind * 0x9E3779B97F4A7C15u);
}

}  // namespace

SnapshotTree::SnapshotTree() : scalar_slots_(1024), key_slots_(64) {
  // Every empty Dictionary is this one.
  const std::uint32_t offset = *Allocate(1);
  blocks_[0][offset] = 0;
  empty_dictionary_ = (kDictionaryTag << 30) | offset;
}

template <typename Equal, typename Make>
std::optional<SnapshotTree::Word> SnapshotTree::Intern(std::size_t hash, Equal equal, Make make) {
  if (2 * (scalars_.size() + 1) > scalar_slots_.size()) {
    // Twice as many slots, each scalar in the first free slot from its hash on.
    std::vector<std::uint32_t> slots(2 * scalar_slots_.size());
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t slot : scalar_slots_) {
      if (slot == 0) continue;
      std::size_t i = scalar_hashes_[slot - 1] & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = slot;
    }
    scalar_slots_ = std::move(slots);
  }
  const std::size_t mask = scalar_slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; scalar_slots_[i] != 0; i = (i + 1) & mask) {
    const std::uint32_t index = scalar_slots_[i] - 1;
    if (scalar_hashes_[index] == hash && equal(scalars_[index])) return index;
  }
  if (scalars_.size() >= kMostWords) return std::nullopt;
  scalars_.push_back(make());
  scalar_hashes_.push_back(hash);
  scalar_slots_[i] = static_cast<std::uint32_t>(scalars_.size());
  return static_cast<Word>(scalars_.size() - 1);
}

std::optional<SnapshotTree::Word> SnapshotTree::AddString(std::string_view text) {
  return Intern(
      HashBytes(text.data(), text.size(), 1),
      [text](const PropertyValue& held) {
        const std::string* s = held.AsString();
        return s != nullptr && *s == text;
      },
      [text] { return PropertyValue::String(std::string(text)); });
}

std::optional<SnapshotTree::Word> SnapshotTree::AddData(Data bytes) {
  return Intern(
      HashBytes(bytes.data(), bytes.size(), 2),
      [&bytes](const PropertyValue& held) {
        const Data* d = held.AsData();
        return d != nullptr && *d == bytes;
      },
      [&bytes] { return PropertyValue::OfData(std::move(bytes)); });
}

std::optional<SnapshotTree::Word> SnapshotTree::AddNumber(Number number) {
  // Numbers are the same scalar only when given alike: -0.0 is not 0.0, nor 1.0 the integer 1.
  const auto& raw = number.raw();
  std::uint64_t bits = 0;
  std::visit([&bits](auto v) { std::memcpy(&bits, &v, sizeof bits); }, raw);
  return Intern(
      HashBytes(&bits, sizeof bits, 3 + raw.index()),
      [&raw, bits](const PropertyValue& held) {
        const Number* n = held.AsNumber();
        if (n == nullptr || n->raw().index() != raw.index()) return false;
        std::uint64_t held_bits = 0;
        std::visit([&held_bits](auto v) { std::memcpy(&held_bits, &v, sizeof held_bits); },
                   n->raw());
        return held_bits == bits;
      },
      [number] { return PropertyValue::OfNumber(number); });
}

std::optional<SnapshotTree::Word> SnapshotTree::AddBoolean(bool value) {
  return Intern(
      HashBytes(&value, 1, 6),
      [value](const PropertyValue& held) {
        const bool* b = held.AsBoolean();
        return b != nullptr && *b == value;
      },
      [value] { return PropertyValue::Boolean(value); });
}

std::optional<std::uint32_t> SnapshotTree::Allocate(std::size_t n) {
  if (n > kMostWords - used_) return std::nullopt;
  if (n <= limit_ - used_) {
    const std::uint32_t offset = used_;
    used_ += static_cast<std::uint32_t>(n);
    return offset;
  }
  // A new block, or as many as a run larger than one takes, in one piece: what is left of the
  // block before stays unused.
  const std::size_t count = std::max<std::size_t>(1, (n + kBlockMask) >> kBlockShift);
  const std::size_t start = blocks_.size() << kBlockShift;
  if (start + n > kMostWords) return std::nullopt;
  owned_.push_back(std::make_unique_for_overwrite<Word[]>(count << kBlockShift));
  for (std::size_t b = 0; b < count; ++b)
    blocks_.push_back(owned_.back().get() + (b << kBlockShift));
  used_ = static_cast<std::uint32_t>(start + n);
  limit_ = static_cast<std::uint32_t>(blocks_.size() << kBlockShift);
  return static_cast<std::uint32_t>(start);
}

std::optional<SnapshotTree::Word> SnapshotTree::AddDictionary(std::span<const Member> members) {
  if (members.empty()) return empty_dictionary_;
  const std::optional<std::uint32_t> offset = Allocate(1 + 2 * members.size());
  if (!offset) return std::nullopt;
  Word* words = blocks_[*offset >> kBlockShift] + (*offset & kBlockMask);
  *words++ = static_cast<Word>(members.size());
  for (const Member& m : members) {
    *words++ = m.first;
    *words++ = m.second;
  }
  return (kDictionaryTag << 30) | *offset;
}

std::optional<SnapshotTree::Word> SnapshotTree::AddArray(std::span<const Word> items) {
  const std::optional<std::uint32_t> offset = Allocate(1 + items.size());
  if (!offset) return std::nullopt;
  Word* words = blocks_[*offset >> kBlockShift] + (*offset & kBlockMask);
  *words++ = static_cast<Word>(items.size());
  std::copy(items.begin(), items.end(), words);
  return (kArrayTag << 30) | *offset;
}

std::uint32_t SnapshotTree::KeyIndex(std::string_view text) {
  if (2 * (keys_.size() + 1) > key_slots_.size()) {
    std::vector<std::uint32_t> slots(2 * key_slots_.size());
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t slot : key_slots_) {
      if (slot == 0) continue;
      std::size_t i = std::hash<std::string_view>{}(keys_[slot - 1]) & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = slot;
    }
    key_slots_ = std::move(slots);
  }
  const std::size_t mask = key_slots_.size() - 1;
  std::size_t i = std::hash<std::string_view>{}(text)&mask;
  for (; key_slots_[i] != 0; i = (i + 1) & mask) {
    if (keys_[key_slots_[i] - 1] == text) return key_slots_[i] - 1;
  }
  keys_.emplace_back(text);
  key_slots_[i] = static_cast<std::uint32_t>(keys_.size());
  return static_cast<std::uint32_t>(keys_.size() - 1);
}

void SnapshotTree::Seal() {
  scalar_slots_ = {};
  scalar_hashes_ = {};
  key_slots_ = {};
  entries_.shrink_to_fit();
  scalars_.shrink_to_fit();
}

const PropertyValue* SnapshotTree::ScalarAt(Word w) const {
  return (w >> 30) == kScalarTag ? &scalars_[w] : nullptr;
}

PropertyValue SnapshotTree::Value(Word w) const {
  if (const PropertyValue* scalar = ScalarAt(w)) return *scalar;
  if (IsDictionary(w)) return PropertyValue::OfDictionary(Members(w));
  const Word* words = At(w & kPayload);
  halvane::Array items;
  items.reserve(words[0]);
  for (Word i = 1; i <= words[0]; ++i) items.push_back(Value(words[i]));
  return PropertyValue::OfArray(std::move(items));
}

halvane::Dictionary SnapshotTree::Members(Word dictionary) const {
  const Word* words = At(dictionary & kPayload);
  std::vector<halvane::Dictionary::value_type> items;
  items.reserve(words[0]);
  for (Word i = 0; i < words[0]; ++i)
    items.emplace_back(keys_[words[1 + 2 * i]], Value(words[2 + 2 * i]));
  // In key order and each key once, as they were added.
  return std::move(*halvane::Dictionary::FromItems(std::move(items)));
}

std::optional<PropertyValue> SnapshotTree::Find(Word dictionary, std::string_view key) const {
  const Word* words = At(dictionary & kPayload);
  std::size_t low = 0;
  std::size_t high = words[0];
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    const std::string& text = keys_[words[1 + 2 * middle]].str();
    if (text == key) return Value(words[2 + 2 * middle]);
    if (text < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return std::nullopt;
}

}  // namespace halvane
