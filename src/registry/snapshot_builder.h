// A snapshot document's parser events made into a SnapshotTree as they arrive, with every rule of
// the format checked: the text is never held whole, nor is a document of values built before the
// registry's entries. A value the registry cannot hold (null, an integer wider than 64 bits, a
// "$data" that is not hexadecimal, a key given twice, nesting past the parser's bound) ends the
// parse where it stands; a fault of the document's structure (an unknown key, an entry without a
// class, ...) is noted and told once the text has parsed, as the first an entry-by-entry reading
// of the document would meet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"
#include "registry/snapshot_tree.h"

namespace halvane {

// Deepest entry tree (and deepest nesting of a property value) that a snapshot may hold.
inline constexpr int kMaxSnapshotDepth = 256;

class SnapshotBuilder {
 public:
  explicit SnapshotBuilder(SnapshotTree& tree);

  // The parser's events. Each answers false once the text is refused, and error() says why.
  bool Null();
  bool Boolean(bool value);
  bool Integer(std::int64_t value);
  bool Unsigned(std::uint64_t value);
  // A number written with a fraction or an exponent, or an integer too wide for 64 bits, and
  // its text.
  bool Float(double value, std::string_view text);
  bool String(std::string_view text);
  bool Key(std::string_view text);
  bool StartObject();
  bool EndObject();
  bool StartArray();
  bool EndArray();
  const std::string& error() const { return error_; }

  // Once the whole text has parsed: its class table into classes and the note of its capture
  // into captured, or the first fault of its structure.
  Status Finish(ClassTable& classes, Dictionary& captured);

 private:
  using Word = SnapshotTree::Word;
  // What a container is to the document.
  enum class Role : std::uint8_t {
    kDocument,  // the top object
    kEntry,     // an object where an entry stands
    kChildren,  // an entry's "children" array
    kValue,     // anything else: a value of the registry's
  };
  struct Frame {
    Role role = Role::kValue;
    bool is_object = false;
    std::optional<std::uint32_t> key;           // objects: the key of the member being read
    std::uint32_t count = 0;                    // arrays: the items read
    std::uint32_t height = 0;                   // containers nested in it, at the deepest
    std::vector<SnapshotTree::Member> members;  // values: an object's members
    std::vector<Word> items;                    // values: an array's items
    // A "$data" member's text, kept aside until its object ends, and where the member stands.
    std::optional<std::string> data_text;
    std::size_t data_member = 0;
    // The document and entries: every key given, and the members that mean something.
    std::vector<std::uint32_t> keys;
    std::optional<Word> data, classes, captured, class_name, properties, write_status, received;
    std::uint32_t properties_height = 0;
    bool children_array = false;    // an entry: "children" given as an array
    bool children_other = false;    // an entry: "children" given as anything else
    std::uint32_t entry = 0;        // entries: their index; children: their entry's
    std::uint32_t entry_depth = 0;  // entries and children: the entry's depth
    std::uint64_t place = 0;        // entries: where an entry-by-entry reading meets it
  };

  bool Fail(std::string message);
  // The path of the value being read ("root.children[0].properties.k"), or with inside_top
  // false, of the innermost open container itself.
  std::string Path(bool inside_top = true) const;
  // A value starts: its entry's place when one stands there (a fault noted if the place is too
  // deep or is_object is false), nothing otherwise.
  std::optional<std::uint64_t> Begin(bool is_object);
  bool Scalar(std::optional<Word> word);
  bool Open(Role role, bool is_object);
  // A value ends, in the container around it.
  bool Add(Word word, std::uint32_t height);
  // The text of the only member of an object whose only key is "$data", as Data; nothing when
  // the object is not one; a failure when its "$data" is no hexadecimal text.
  StatusOr<std::optional<Data>> DataOf(const Frame& frame);
  bool EndEntry(Frame& frame);
  // The fault of an entry that ended, if it has one.
  std::optional<std::string> EntryFault(const Frame& frame, const std::string& path);
  void Note(std::uint64_t place, std::string fault);
  // The first of keys given twice, in key order.
  std::optional<std::string> Repeated(std::vector<std::uint32_t>& keys) const;
  Status Classes(ClassTable& classes) const;
  Status Captured(Dictionary& captured) const;

  SnapshotTree& tree_;
  std::vector<Frame> frames_;  // the first depth_ are open
  std::size_t depth_ = 0;
  std::string error_;
  bool document_not_object_ = false;
  std::optional<std::string> unknown_top_key_;
  std::optional<Word> classes_, captured_;
  bool root_ = false;
  std::uint64_t next_place_ = 0;
  std::optional<std::pair<std::uint64_t, std::string>> fault_;  // the first by place
  // The keys that mean something, by index.
  std::uint32_t data_key_, classes_key_, captured_key_, root_key_, class_key_, properties_key_,
      children_key_, write_status_key_, received_key_;
};

}  // namespace halvane
