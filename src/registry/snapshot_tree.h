// A snapshot's entries and values as a loaded snapshot holds them: built once, as the file is
// parsed, and read many times. A host of 100,000 logical units names a few dozen keys millions of
// times and repeats most of its values, so the layout holds every distinct key and value once,
// keeps each table and list as a run of 32-bit words in large blocks, and makes registry values
// (PropertyValue) of them only when a run asks: a value made for one question is let go after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "registry/property_value.h"

namespace halvane {

class SnapshotTree {
 public:
  // A value: the index of a distinct scalar (a String, Number, Data or Boolean), or the place of
  // a Dictionary's or an Array's words in the blocks, told apart by the two top bits.
  using Word = std::uint32_t;
  // What a Word can count up to: far more than a snapshot of at most 1 GiB can hold, whose values
  // take two bytes of text at the least.
  static constexpr std::size_t kMostWords = std::size_t{1} << 30;

  // An entry, in registry order (depth first, each entry before its children).
  struct Entry {
    std::uint32_t parent;     // kNoEntry for the root
    std::uint32_t end;        // the index after its last descendant
    Word class_name;          // a String scalar
    Word properties;          // a Dictionary
    StatusCode write_status;  // what its driver answers to a settings write
    std::uint32_t received;   // 1 + its index in received_settings(), 0 when it keeps none
  };
  static constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;

  SnapshotTree();
  SnapshotTree(const SnapshotTree&) = delete;
  SnapshotTree& operator=(const SnapshotTree&) = delete;

  // Building. A scalar equal to one held already is that one. Each answers nothing once the tree
  // would hold more than kMostWords can count.
  std::optional<Word> AddString(std::string_view text);
  std::optional<Word> AddData(Data bytes);
  std::optional<Word> AddNumber(Number number);
  std::optional<Word> AddBoolean(bool value);
  // A Dictionary of members (key index, value) in the order of their keys' texts.
  using Member = std::pair<std::uint32_t, Word>;
  std::optional<Word> AddDictionary(std::span<const Member> sorted_members);
  std::optional<Word> AddArray(std::span<const Word> items);
  // The index of a key, the same for every use of its text.
  std::uint32_t KeyIndex(std::string_view text);
  const Key& KeyAt(std::uint32_t index) const { return keys_[index]; }
  std::vector<Entry>& entries() { return entries_; }
  std::vector<std::vector<halvane::Dictionary>>& received_settings() { return received_; }
  // Drops what only building needed.
  void Seal();

  // Reading.
  const std::vector<Entry>& entries() const { return entries_; }
  const std::vector<std::vector<halvane::Dictionary>>& received_settings() const {
    return received_;
  }
  static bool IsDictionary(Word w) { return (w >> 30) == kDictionaryTag; }
  static bool IsArray(Word w) { return (w >> 30) == kArrayTag; }
  // The scalar a Word names, or nullptr for a container.
  const PropertyValue* ScalarAt(Word w) const;
  // The value a Word names, made afresh unless it is a scalar.
  PropertyValue Value(Word w) const;
  // A Dictionary's members, made afresh.
  halvane::Dictionary Members(Word dictionary) const;
  // The member of a Dictionary under key; nothing when it has none.
  std::optional<PropertyValue> Find(Word dictionary, std::string_view key) const;

 private:
  static constexpr Word kScalarTag = 0;
  static constexpr Word kDictionaryTag = 1;
  static constexpr Word kArrayTag = 2;
  static constexpr Word kPayload = (Word{1} << 30) - 1;

  // Room for n words in one run; its offset, or nothing when the blocks are full.
  std::optional<std::uint32_t> Allocate(std::size_t n);
  const Word* At(std::uint32_t offset) const {
    return blocks_[offset >> kBlockShift] + (offset & kBlockMask);
  }
  // The scalar that equal() finds among those of hash, or a new one that make() gives.
  template <typename Equal, typename Make>
  std::optional<Word> Intern(std::size_t hash, Equal equal, Make make);

  static constexpr unsigned kBlockShift = 16;  // blocks of 64 Ki words, 256 KiB
  static constexpr std::uint32_t kBlockMask = (std::uint32_t{1} << kBlockShift) - 1;
  std::vector<std::unique_ptr<Word[]>> owned_;
  std::vector<Word*> blocks_;  // block i holds the words from i << kBlockShift on
  std::uint32_t used_ = 0;     // words handed out, counted from the first block's start
  std::uint32_t limit_ = 0;    // where the current block ends

  std::vector<PropertyValue> scalars_;
  std::vector<Key> keys_;
  // While building: open-addressed tables of 1 + the index of each scalar and each key.
  std::vector<std::uint32_t> scalar_slots_;
  std::vector<std::size_t> scalar_hashes_;
  std::vector<std::uint32_t> key_slots_;

  std::vector<Entry> entries_;
  std::vector<std::vector<halvane::Dictionary>> received_;
  Word empty_dictionary_ = 0;
};

}  // namespace halvane
