#include "registry/snapshot.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/json_chunks.h"

namespace halvane {
namespace {

using Json = nlohmann::json;

constexpr char kDataKey[] = "$data";

// "$data" text: pairs of hexadecimal digits, each gap between pairs empty or one space or one
// colon.
bool ParseDataText(const std::string& text, Data* out) {
  Data bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!bytes.empty() && (text[i] == ' ' || text[i] == ':')) {
      ++i;
      if (i == text.size()) return false;
    }
    if (i + 1 >= text.size()) return false;
    const int hi = HexDigitValue(text[i]);
    const int lo = HexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    i += 2;
  }
  *out = std::move(bytes);
  return true;
}

// A hash of a text's length and of its first and last eight bytes, for tables that only catch
// repeats: the texts a registry repeats differ there, and a text is not walked whole for each
// of the millions of values and keys of a large snapshot.
std::uint64_t QuickHash(std::string_view text, std::uint64_t seed) {
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

// Builds registry values straight from the parser's events, with no intermediate document: an
// object becomes a Dictionary (a key given twice is refused when it is inserted), an object whose
// only key is "$data" becomes Data, null is refused where it stands. The place of a fault is kept
// as a path of keys and indices, written out only when there is a fault.
class ValueBuilder final : public JsonEvents {
 public:
  std::optional<PropertyValue> TakeResult() { return std::move(result_); }
  const std::string& error() const { return error_; }
  bool syntax_error() const { return syntax_error_; }
  std::size_t error_byte() const { return error_byte_; }
  // How many containers deep the document nests at its deepest.
  std::size_t deepest() const { return deepest_; }

  bool null() override { return Fail(Path() + " is null"); }
  bool boolean(bool v) override { return Add(PropertyValue::Boolean(v)); }
  bool number_integer(std::int64_t v) override { return Add(recent_.Integer(v)); }
  bool number_unsigned(std::uint64_t v) override { return Add(recent_.Unsigned(v)); }
  bool number_float(double v, const std::string& text) override {
    // An integer too wide for 64 bits arrives here too; as a floating-point value it would be
    // saved back rounded, so it is refused instead.
    if (text.find_first_of(".eE") == std::string::npos)
      return Fail(Path() + " is an integer wider than 64 bits");
    return Add(PropertyValue::OfNumber(Number::FromDouble(v)));
  }
  bool string(std::string& v) override {
    if (depth_ > 0 && Top().is_object && Top().key == data_key_) {
      // A "$data" member is nearly always its object's only member, and the object becomes
      // Data: its text is kept aside until the object ends rather than made a String first.
      Frame& top = Top();
      SettleData(top);
      top.data_text.assign(v);
      top.data_member = top.members.size();
      top.members.emplace_back(data_key_, placeholder_);
      return true;
    }
    return Add(recent_.String(v));
  }
  bool binary(Json::binary_t&) override {
    return Fail(Path() + " is not a value a registry can hold");
  }

  bool start_object(std::size_t) override { return Open(true); }
  bool key(std::string& k) override {
    Top().key = keys_.Get(k);
    return true;
  }
  bool end_object() override {
    Frame& frame = Top();
    if (frame.members.size() == 1 && frame.members[0].first == data_key_) {
      const std::string* text =
          frame.data_member == kNoMember ? frame.members[0].second.AsString() : &frame.data_text;
      Data bytes;
      if (text == nullptr || !ParseDataText(*text, &bytes)) {
        frame.key.reset();  // the frame stays, so that the path names this object
        return Fail(Path() + " has a \"$data\" that is not pairs of hexadecimal digits");
      }
      --depth_;
      return Add(recent_.OfData(std::move(bytes)));
    }
    SettleData(frame);
    // The frame's buffer is kept for the next object at this depth; the Dictionary gets a block
    // of exactly its size.
    std::vector<Dictionary::value_type> items(std::make_move_iterator(frame.members.begin()),
                                              std::make_move_iterator(frame.members.end()));
    --depth_;
    std::string twice;
    std::optional<Dictionary> members = Dictionary::FromItems(std::move(items), &twice);
    if (!members) return Fail("the key \"" + twice + "\" appears twice in one object");
    return Add(PropertyValue::OfDictionary(std::move(*members)));
  }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_array() override {
    Frame& frame = Top();
    Array items(std::make_move_iterator(frame.items.begin()),
                std::make_move_iterator(frame.items.end()));
    --depth_;
    return Add(PropertyValue::OfArray(std::move(items)));
  }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& e) override {
    std::string what = e.what();
    if (dynamic_cast<const Json::parse_error*>(&e) != nullptr) {
      syntax_error_ = true;
      error_byte_ = position;
      const std::size_t colon = what.find(": ", what.find("parse error"));
      error_ = colon == std::string::npos ? what : what.substr(colon + 2);
    } else {
      // A number too large for any numeric type, and whatever else cannot be represented.
      const std::size_t bracket = what.find("] ");
      error_ =
          "unreadable value: " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
    }
    return false;
  }

 private:
  static constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);
  struct Frame {
    bool is_object = false;
    std::string name;        // where this container stands in its parent, as a path step
    std::optional<Key> key;  // objects: the key of the member being read
    // Objects: a "$data" member's text, kept aside, and where the member stands.
    std::string data_text;
    std::size_t data_member = kNoMember;
    // Members as they arrive; sorted into a Dictionary once the object ends, so that a large
    // object costs O(n log n) in any key order.
    std::vector<Dictionary::value_type> members;
    Array items;
  };

  // Makes a "$data" text kept aside an ordinary String member of its object.
  void SettleData(Frame& frame) {
    if (frame.data_member == kNoMember) return;
    frame.members[frame.data_member].second = recent_.String(frame.data_text);
    frame.data_member = kNoMember;
  }

  bool Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  // The path of the value being read: "root.children[0].properties.k".
  std::string Path() const {
    std::string path;
    for (std::size_t i = 0; i < depth_; ++i) path += frames_[i].name;
    if (depth_ > 0) path += NextStep(frames_[depth_ - 1]);
    if (!path.empty() && path[0] == '.') path.erase(0, 1);
    return path.empty() ? "the document" : path;
  }
  static std::string NextStep(const Frame& f) {
    std::string step;
    if (!f.is_object) {
      step.append("[").append(std::to_string(f.items.size())).append("]");
    } else if (f.key && f.key->size() > 0) {
      step.append(".").append(f.key->str());
    }
    return step;
  }

  bool Open(bool is_object) {
    // Containers nest on the heap here, but values are released recursively: bound the depth.
    if (depth_ >= kMaxJsonDepth) {
      return Fail(Path() + " is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    // Frames are reused, buffers and all, by the containers that open at the same depth later.
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_];
    frame.is_object = is_object;
    if (depth_ == 0) {
      frame.name.clear();
    } else {
      frame.name = NextStep(frames_[depth_ - 1]);
    }
    frame.key.reset();
    frame.members.clear();
    frame.items.clear();
    frame.data_member = kNoMember;
    ++depth_;
    deepest_ = std::max(deepest_, depth_);
    return true;
  }

  Frame& Top() { return frames_[depth_ - 1]; }

  bool Add(PropertyValue value) {
    if (depth_ == 0) {
      result_ = std::move(value);
      return true;
    }
    Frame& top = Top();
    if (!top.is_object) {
      top.items.push_back(std::move(value));
      return true;
    }
    top.members.emplace_back(*top.key, std::move(value));
    return true;
  }

  // Entries nest two JSON levels each (an entry, its children array) below the document, and a
  // property value may nest as deep again.
  static constexpr std::size_t kMaxJsonDepth = 2 * kMaxSnapshotDepth + kMaxSnapshotDepth + 8;

  std::vector<Frame> frames_;  // the first depth_ are open
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
  RecentValues recent_;
  RecentKeys keys_;
  const Key data_key_{kDataKey};
  // Stands for a "$data" text kept aside until it is settled.
  const PropertyValue placeholder_ = PropertyValue::Boolean(false);
  std::optional<PropertyValue> result_;
  std::string error_;
  bool syntax_error_ = false;
  std::size_t error_byte_ = 0;
};

// Turns the document's entry dictionaries into registry nodes. Property tables are shared with
// the parsed document, never copied.
class Loader {
 public:
  // Property values need their depth checked only when the document nests that deep at all.
  Loader(MemoryRegistry* out, std::size_t document_depth)
      : out_(out), check_property_depth_(document_depth > kMaxSnapshotDepth) {}

  bool Load(const PropertyValue& doc) {
    const Dictionary* top = doc.AsDictionary();
    if (top == nullptr) return Fail("the document", "is not a JSON object");
    for (const auto& [key, value] : *top) {
      if (key != "classes" && key != "root")
        return Fail("the document", "has an unknown key \"" + key.str() + "\"");
    }
    if (const PropertyValue* classes = FindMember(*top, "classes");
        classes && !LoadClasses(*classes))
      return false;
    const PropertyValue* root = FindMember(*top, "root");
    if (root == nullptr) return Fail("the document", "has no \"root\" entry");
    return LoadEntries(*root);
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& where, const std::string& what) {
    error_ = where + " " + what;
    return false;
  }

  bool LoadClasses(const PropertyValue& value) {
    const Dictionary* classes = value.AsDictionary();
    if (classes == nullptr) return Fail("\"classes\"", "is not an object");
    for (const auto& [name, super] : *classes) {
      if (super.AsString() == nullptr)
        return Fail("classes." + name.str(), "must name its superclass as a string");
      out_->DeclareClass(name.str(), *super.AsString());
    }
    // Every chain of superclasses must end; a cycle would make class tests meaningless.
    for (const auto& [name, unused] : out_->classes()) {
      std::set<std::string_view> seen;
      std::string_view current = name;
      while (true) {
        if (!seen.insert(current).second) return Fail("classes." + name, "is part of a cycle");
        auto it = out_->classes().find(current);
        if (it == out_->classes().end()) break;
        current = it->second;
      }
    }
    return true;
  }

  // Entries are read with an explicit stack so that the depth limit, not the call stack,
  // decides how deep a snapshot may go.
  bool LoadEntries(const PropertyValue& root) {
    struct Pending {
      const PropertyValue* value;
      MemoryRegistry::Node* parent;
      std::string path;
      int depth;
    };
    std::vector<Pending> stack{{&root, nullptr, "root", 1}};
    while (!stack.empty()) {
      Pending p = std::move(stack.back());
      stack.pop_back();
      if (p.depth > kMaxSnapshotDepth) {
        return Fail(p.path,
                    "is nested deeper than " + std::to_string(kMaxSnapshotDepth) + " levels");
      }
      const Dictionary* entry = p.value->AsDictionary();
      MemoryRegistry::Node* node = entry ? LoadEntry(*entry, p.parent, p.path) : nullptr;
      if (entry == nullptr) return Fail(p.path, "is not an object");
      if (node == nullptr) return false;
      if (const PropertyValue* children = FindMember(*entry, "children")) {
        const Array* items = children->AsArray();
        if (items == nullptr) return Fail(p.path + ".children", "is not an array");
        for (std::size_t i = items->size(); i-- > 0;) {
          stack.push_back(
              {&(*items)[i], node, p.path + ".children[" + std::to_string(i) + "]", p.depth + 1});
        }
      }
    }
    return true;
  }

  MemoryRegistry::Node* LoadEntry(const Dictionary& entry, MemoryRegistry::Node* parent,
                                  const std::string& path) {
    for (const auto& [key, value] : entry) {
      if (key != "class" && key != "properties" && key != "children" && key != "write-status" &&
          key != "received-settings") {
        Fail(path, "has an unknown key \"" + key.str() + "\"");
        return nullptr;
      }
    }
    const PropertyValue* cls = FindMember(entry, "class");
    if (cls == nullptr || cls->AsString() == nullptr) {
      Fail(path, "has no \"class\" string");
      return nullptr;
    }
    const PropertyValue* properties = FindMember(entry, "properties");
    if (properties != nullptr && properties->AsDictionary() == nullptr) {
      Fail(path + ".properties", "is not an object");
      return nullptr;
    }
    if (properties != nullptr && check_property_depth_ &&
        !WithinDepth(*properties, path + ".properties", 1))
      return nullptr;
    MemoryRegistry::Node* node =
        parent ? out_->AddChild(parent, *cls->AsString()) : out_->SetRoot(*cls->AsString());
    if (properties != nullptr) node->properties = *properties;
    if (const PropertyValue* status = FindMember(entry, "write-status")) {
      if (!LoadStatus(*status, &node->write_status)) {
        Fail(path + ".write-status",
             "is not a 32-bit status (an integer or \"0x\" and hex digits)");
        return nullptr;
      }
    }
    if (const PropertyValue* received = FindMember(entry, "received-settings")) {
      const Array* items = received->AsArray();
      if (items == nullptr) {
        Fail(path + ".received-settings", "is not an array");
        return nullptr;
      }
      node->keeps_received_settings = true;
      for (std::size_t i = 0; i < items->size(); ++i) {
        const Dictionary* settings = (*items)[i].AsDictionary();
        if (settings == nullptr) {
          Fail(path + ".received-settings[" + std::to_string(i) + "]", "is not an object");
          return nullptr;
        }
        if (check_property_depth_ &&
            !WithinDepth((*items)[i], path + ".received-settings[" + std::to_string(i) + "]", 1)) {
          return nullptr;
        }
        node->received_settings.push_back(*settings);
      }
    }
    return node;
  }

  // Property values may nest at most kMaxSnapshotDepth levels.
  bool WithinDepth(const PropertyValue& value, const std::string& path, int depth) {
    if (depth > kMaxSnapshotDepth) {
      return Fail(path, "is nested deeper than " + std::to_string(kMaxSnapshotDepth) + " levels");
    }
    if (const Dictionary* members = value.AsDictionary()) {
      for (const auto& [key, item] : *members) {
        if ((item.AsDictionary() || item.AsArray()) &&
            !WithinDepth(item, path + "." + key.str(), depth + 1))
          return false;
      }
    } else if (const Array* items = value.AsArray()) {
      for (std::size_t i = 0; i < items->size(); ++i) {
        const PropertyValue& item = (*items)[i];
        if ((item.AsDictionary() || item.AsArray()) &&
            !WithinDepth(item, path + "[" + std::to_string(i) + "]", depth + 1)) {
          return false;
        }
      }
    }
    return true;
  }

  static bool LoadStatus(const PropertyValue& value, RegistryStatus* out) {
    if (const Number* number = value.AsNumber()) {
      std::int64_t v = 0;
      if (number->ToInt64(&v) && v >= INT32_MIN && v <= static_cast<std::int64_t>(UINT32_MAX)) {
        *out = static_cast<RegistryStatus>(v);
        return true;
      }
      return false;
    }
    const std::string* text = value.AsString();
    const auto v = text ? ParsePrefixedHex(*text, 8) : std::nullopt;
    if (!v) return false;
    *out = static_cast<RegistryStatus>(*v);
    return true;
  }

  MemoryRegistry* out_;
  bool check_property_depth_;
  std::string error_;
};

// A byte offset as "line L, column C", both counted from 1.
std::string Place(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  const std::size_t end = std::min(offset, text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

namespace {

// The document's values and how deep it nests, or false with the reason in *error.
bool ParseValues(std::string_view text, std::optional<PropertyValue>* doc, std::size_t* depth,
                 std::string* error) {
  ValueBuilder builder;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) {
    if (builder.syntax_error()) {
      *error = "syntax error at " +
               Place(text, builder.error_byte() > 0 ? builder.error_byte() - 1 : 0) + ": " +
               builder.error();
    } else {
      *error = builder.error();
    }
    return false;
  }
  // The parser takes a NUL byte for the end of the text; anything after the document but white
  // space would be lost at the next save.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    *error = "syntax error at " + Place(text, nul) + ": a NUL byte after the document";
    return false;
  }
  *doc = builder.TakeResult();
  *depth = builder.deepest();
  return true;
}

bool LoadValues(const std::optional<PropertyValue>& doc, std::size_t depth, MemoryRegistry* out,
                std::string* error) {
  Loader loader(out, depth);
  if (!doc || !loader.Load(*doc)) {
    *error = doc ? loader.error() : "the document is empty";
    return false;
  }
  return true;
}

}  // namespace

std::optional<bool> ParseSnapshotChunks(
    const std::function<std::ptrdiff_t(char*, std::size_t)>& read, MemoryRegistry* out,
    std::string* error) {
  std::optional<PropertyValue> doc;
  std::size_t depth = 0;
  {
    ValueBuilder builder;
    if (!ParseJsonChunks(read, &builder)) return std::nullopt;
    doc = builder.TakeResult();
    depth = builder.deepest();
  }
  return LoadValues(doc, depth, out, error);
}

bool ParseSnapshot(std::string_view text, MemoryRegistry* out, std::string* error) {
  std::optional<PropertyValue> doc;
  std::size_t depth = 0;
  return ParseValues(text, &doc, &depth, error) && LoadValues(doc, depth, out, error);
}

bool ParseSnapshotText(std::string text, MemoryRegistry* out, std::string* error) {
  std::optional<PropertyValue> doc;
  std::size_t depth = 0;
  if (!ParseValues(text, &doc, &depth, error)) return false;
  // Once its values are built the text is not needed; a large one goes back before the
  // registry's entries are made.
  std::string().swap(text);
  return LoadValues(doc, depth, out, error);
}

}  // namespace halvane
