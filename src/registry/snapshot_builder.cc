#include "registry/snapshot_builder.h"

#include <algorithm>
#include <climits>
#include <map>

namespace halvane {
namespace {

// Entries nest two JSON levels each (an entry, its children array) below the document, and a
// property value may nest as deep again; values are made and released recursively, so the parse
// ends past this.
constexpr std::size_t kMaxJsonDepth = 2 * kMaxSnapshotDepth + kMaxSnapshotDepth + 8;

Status Refuse(const std::string& where, const std::string& what) {
  return Status::Error(kIoError, where + " " + what);
}

std::string TooDeep() {
  return "is nested deeper than " + std::to_string(kMaxSnapshotDepth) + " levels";
}

// The first value nested deeper than kMaxSnapshotDepth levels below value, which stands depth
// levels down, in key order, as its path. The recursion is bounded by the parser's own bound.
std::optional<std::string> TooDeepAt(const PropertyValue& value, const std::string& path,
                                     int depth) {
  if (depth > kMaxSnapshotDepth) return path;
  if (const Dictionary* members = value.AsDictionary()) {
    for (const auto& [key, item] : *members) {
      if (!item.AsDictionary() && !item.AsArray()) continue;
      if (auto at = TooDeepAt(item, path + "." + key.str(), depth + 1)) return at;
    }
  } else if (const Array* items = value.AsArray()) {
    for (std::size_t i = 0; i < items->size(); ++i) {
      const PropertyValue& item = (*items)[i];
      if (!item.AsDictionary() && !item.AsArray()) continue;
      if (auto at = TooDeepAt(item, path + "[" + std::to_string(i) + "]", depth + 1)) return at;
    }
  }
  return std::nullopt;
}

// A write-status: a 32-bit integer, signed or not, or "0x" and up to eight hex digits.
std::optional<StatusCode> StatusOf(const PropertyValue& value) {
  std::optional<std::int64_t> v = value.AsInt64();
  if (const std::string* text = value.AsString()) {
    const auto hex = ParsePrefixedHex(*text, 8);
    if (hex) v = static_cast<std::int64_t>(*hex);
  }
  if (!v || *v < INT32_MIN || *v > static_cast<std::int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<StatusCode>(static_cast<std::uint32_t>(*v));
}

constexpr char kTooMany[] = "the snapshot holds more values than a registry can";

}  // namespace

SnapshotBuilder::SnapshotBuilder(SnapshotTree& tree)
    : tree_(tree),
      data_key_(tree.KeyIndex("$data")),
      classes_key_(tree.KeyIndex("classes")),
      captured_key_(tree.KeyIndex("captured")),
      root_key_(tree.KeyIndex("root")),
      class_key_(tree.KeyIndex("class")),
      properties_key_(tree.KeyIndex("properties")),
      children_key_(tree.KeyIndex("children")),
      write_status_key_(tree.KeyIndex("write-status")),
      received_key_(tree.KeyIndex("received-settings")) {}

bool SnapshotBuilder::Fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

std::string SnapshotBuilder::Path(bool inside_top) const {
  std::string path;
  const std::size_t steps = inside_top ? depth_ : depth_ - 1;
  for (std::size_t i = 0; i < steps; ++i) {
    const Frame& f = frames_[i];
    if (!f.is_object) {
      path.append("[").append(std::to_string(f.count)).append("]");
    } else if (f.key && !tree_.KeyAt(*f.key).str().empty()) {
      path.append(".").append(tree_.KeyAt(*f.key).str());
    }
  }
  if (!path.empty() && path[0] == '.') path.erase(0, 1);
  return path.empty() ? "the document" : path;
}

void SnapshotBuilder::Note(std::uint64_t place, std::string fault) {
  if (!fault_ || place < fault_->first) fault_.emplace(place, std::move(fault));
}

std::optional<std::uint64_t> SnapshotBuilder::Begin(bool is_object) {
  if (depth_ == 0) {
    document_not_object_ = !is_object;
    return std::nullopt;
  }
  const Frame& top = frames_[depth_ - 1];
  std::uint32_t entry_depth = 0;
  if (top.role == Role::kChildren) {
    entry_depth = top.entry_depth + 1;
  } else if (top.role != Role::kDocument || top.key != root_key_) {
    return std::nullopt;
  }
  const std::uint64_t place = next_place_++;
  if (entry_depth + 1 > kMaxSnapshotDepth) {
    Note(place, Path() + " " + TooDeep());
  } else if (!is_object) {
    Note(place, Path() + " is not an object");
  }
  return place;
}

bool SnapshotBuilder::Null() { return Fail(Path() + " is null"); }

bool SnapshotBuilder::Scalar(std::optional<Word> word) {
  if (!word) return Fail(kTooMany);
  Begin(false);
  return Add(*word, 0);
}

bool SnapshotBuilder::Boolean(bool value) { return Scalar(tree_.AddBoolean(value)); }
bool SnapshotBuilder::Integer(std::int64_t value) {
  return Scalar(tree_.AddNumber(Number::FromInt64(value)));
}
bool SnapshotBuilder::Unsigned(std::uint64_t value) {
  return Scalar(tree_.AddNumber(Number::FromUInt64(value)));
}

bool SnapshotBuilder::Float(double value, std::string_view text) {
  // An integer too wide for 64 bits arrives here too; as a floating-point value it would be
  // saved back rounded, so it is refused instead.
  if (text.find_first_of(".eE") == std::string_view::npos)
    return Fail(Path() + " is an integer wider than 64 bits");
  return Scalar(tree_.AddNumber(Number::FromDouble(value)));
}

bool SnapshotBuilder::String(std::string_view text) {
  if (depth_ > 0) {
    Frame& top = frames_[depth_ - 1];
    if (top.role == Role::kValue && top.is_object && top.key == data_key_) {
      // A "$data" member is nearly always its object's only member, and the object becomes
      // Data: its text is kept aside until the object ends rather than made a String first.
      if (top.data_text) {
        const std::optional<Word> text_word = tree_.AddString(*top.data_text);
        if (!text_word) return Fail(kTooMany);
        top.members[top.data_member].second = *text_word;
      }
      top.data_text.emplace(text);
      top.data_member = top.members.size();
      top.members.emplace_back(data_key_, 0);
      return true;
    }
  }
  return Scalar(tree_.AddString(text));
}

bool SnapshotBuilder::Key(std::string_view text) {
  Frame& top = frames_[depth_ - 1];
  top.key = tree_.KeyIndex(text);
  if (top.role != Role::kValue) top.keys.push_back(*top.key);
  return true;
}

bool SnapshotBuilder::Open(Role role, bool is_object) {
  if (depth_ >= kMaxJsonDepth) {
    return Fail(Path() + " is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  const std::optional<std::uint64_t> place = Begin(is_object);
  std::uint32_t entry = 0;
  std::uint32_t entry_depth = 0;
  if (depth_ > 0) {
    const Frame& top = frames_[depth_ - 1];
    if (place && is_object) {
      role = Role::kEntry;
      entry_depth = top.role == Role::kChildren ? top.entry_depth + 1 : 0;
      entry = static_cast<std::uint32_t>(tree_.entries().size());
      tree_.entries().push_back(SnapshotTree::Entry{
          top.role == Role::kChildren ? top.entry : SnapshotTree::kNoEntry, 0, 0, 0, 0, 0});
    } else if (top.role == Role::kEntry && top.key == children_key_ && !is_object) {
      role = Role::kChildren;
      entry = top.entry;
      entry_depth = top.entry_depth;
    }
  }
  // Frames are reused, buffers and all, by the containers that open at the same depth later.
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_++];
  frame.role = role;
  frame.is_object = is_object;
  frame.key.reset();
  frame.count = 0;
  frame.height = 0;
  frame.members.clear();
  frame.items.clear();
  frame.data_text.reset();
  frame.keys.clear();
  frame.data = frame.classes = frame.class_name = frame.properties = frame.write_status =
      frame.received = std::nullopt;
  frame.properties_height = 0;
  frame.children_array = frame.children_other = false;
  frame.entry = entry;
  frame.entry_depth = entry_depth;
  frame.place = place.value_or(0);
  return true;
}

bool SnapshotBuilder::StartObject() {
  return Open(depth_ == 0 ? Role::kDocument : Role::kValue, true);
}
bool SnapshotBuilder::StartArray() { return Open(Role::kValue, false); }

bool SnapshotBuilder::Add(Word word, std::uint32_t height) {
  if (depth_ == 0) return true;
  Frame& top = frames_[depth_ - 1];
  top.height = std::max(top.height, height);
  switch (top.role) {
    case Role::kValue:
      if (top.is_object) {
        top.members.emplace_back(*top.key, word);
      } else {
        top.items.push_back(word);
        ++top.count;
      }
      break;
    case Role::kChildren:
      ++top.count;
      break;
    case Role::kDocument:
      if (top.key == data_key_) top.data = word;
      if (top.key == classes_key_) top.classes = word;
      if (top.key == captured_key_) top.captured = word;
      break;
    case Role::kEntry:
      if (top.key == data_key_) top.data = word;
      if (top.key == class_key_) top.class_name = word;
      if (top.key == write_status_key_) top.write_status = word;
      if (top.key == received_key_) top.received = word;
      if (top.key == children_key_) top.children_other = true;
      if (top.key == properties_key_) {
        top.properties = word;
        top.properties_height = height;
      }
      break;
  }
  return true;
}

StatusOr<std::optional<Data>> SnapshotBuilder::DataOf(const Frame& frame) {
  const bool only_data = frame.role == Role::kValue
                             ? frame.members.size() == 1 && frame.members[0].first == data_key_
                             : frame.keys.size() == 1 && frame.keys[0] == data_key_;
  if (!only_data) return std::optional<Data>();
  const std::string* text = frame.data_text ? &*frame.data_text : nullptr;
  if (frame.role != Role::kValue && frame.data && tree_.ScalarAt(*frame.data))
    text = tree_.ScalarAt(*frame.data)->AsString();
  StatusOr<Data> bytes = text ? ParseHexBytes(*text, kDataForm)
                              : StatusOr<Data>(Status::Error(kBadArgument, "not a text"));
  if (!bytes.ok()) return bytes.status();
  return std::optional<Data>(std::move(*bytes));
}

std::optional<std::string> SnapshotBuilder::Repeated(std::vector<std::uint32_t>& keys) const {
  std::sort(keys.begin(), keys.end(),
            [this](std::uint32_t a, std::uint32_t b) { return tree_.KeyAt(a) < tree_.KeyAt(b); });
  const auto same = std::adjacent_find(keys.begin(), keys.end());
  if (same == keys.end()) return std::nullopt;
  return "the key \"" + tree_.KeyAt(*same).str() + "\" appears twice in one object";
}

bool SnapshotBuilder::EndObject() {
  Frame& frame = frames_[depth_ - 1];
  StatusOr<std::optional<Data>> data = DataOf(frame);
  if (!data.ok()) {
    frame.key.reset();  // the path names this object
    return Fail(Path(false) + " has a \"$data\" that is not pairs of hexadecimal digits");
  }
  if (*data) {
    const std::optional<Word> word = tree_.AddData(std::move(**data));
    if (!word) return Fail(kTooMany);
    if (frame.role == Role::kDocument) document_not_object_ = true;
    if (frame.role == Role::kEntry) Note(frame.place, Path(false) + " is not an object");
    --depth_;
    return Add(*word, 0);
  }
  if (frame.role != Role::kValue) {
    if (std::optional<std::string> repeated = Repeated(frame.keys)) return Fail(*repeated);
    if (frame.role == Role::kEntry) return EndEntry(frame);
    // The document.
    for (const std::uint32_t key : frame.keys) {
      if (key == classes_key_ || key == captured_key_ || key == root_key_) continue;
      unknown_top_key_ = tree_.KeyAt(key).str();  // the keys are in key order now
      break;
    }
    classes_ = frame.classes;
    captured_ = frame.captured;
    root_ = std::find(frame.keys.begin(), frame.keys.end(), root_key_) != frame.keys.end();
    --depth_;
    return true;
  }
  if (frame.data_text) {
    const std::optional<Word> text_word = tree_.AddString(*frame.data_text);
    if (!text_word) return Fail(kTooMany);
    frame.members[frame.data_member].second = *text_word;
  }
  // Files mostly give a table's keys in the same order entry after entry, often sorted already.
  auto less = [this](const SnapshotTree::Member& a, const SnapshotTree::Member& b) {
    return tree_.KeyAt(a.first) < tree_.KeyAt(b.first);
  };
  if (!std::is_sorted(frame.members.begin(), frame.members.end(), less))
    std::sort(frame.members.begin(), frame.members.end(), less);
  const auto same =
      std::adjacent_find(frame.members.begin(), frame.members.end(),
                         [](const SnapshotTree::Member& a, const SnapshotTree::Member& b) {
                           return a.first == b.first;
                         });
  if (same != frame.members.end()) {
    return Fail("the key \"" + tree_.KeyAt(same->first).str() + "\" appears twice in one object");
  }
  const std::optional<Word> word = tree_.AddDictionary(frame.members);
  if (!word) return Fail(kTooMany);
  --depth_;
  return Add(*word, frame.height + 1);
}

bool SnapshotBuilder::EndArray() {
  Frame& frame = frames_[depth_ - 1];
  if (frame.role == Role::kChildren) {
    --depth_;
    frames_[depth_ - 1].children_array = true;
    return true;
  }
  const std::optional<Word> word = tree_.AddArray(frame.items);
  if (!word) return Fail(kTooMany);
  --depth_;
  return Add(*word, frame.height + 1);
}

bool SnapshotBuilder::EndEntry(Frame& frame) {
  const std::string path = Path(false);
  std::optional<std::string> fault = EntryFault(frame, path);
  SnapshotTree::Entry& entry = tree_.entries()[frame.entry];
  entry.end = static_cast<std::uint32_t>(tree_.entries().size());
  if (fault) {
    Note(frame.place, std::move(*fault));
  } else {
    entry.class_name = *frame.class_name;
    entry.properties = frame.properties.value_or(*tree_.AddDictionary({}));
    if (frame.write_status) entry.write_status = *StatusOf(tree_.Value(*frame.write_status));
    if (frame.received) {
      std::vector<Dictionary> settings;
      const PropertyValue received = tree_.Value(*frame.received);
      for (const PropertyValue& item : *received.AsArray())
        settings.push_back(*item.AsDictionary());
      tree_.received_settings().push_back(std::move(settings));
      entry.received = static_cast<std::uint32_t>(tree_.received_settings().size());
    }
  }
  --depth_;
  if (depth_ > 0 && frames_[depth_ - 1].role == Role::kChildren) ++frames_[depth_ - 1].count;
  return true;
}

// The checks of an entry-by-entry reading, in its order.
std::optional<std::string> SnapshotBuilder::EntryFault(const Frame& frame,
                                                       const std::string& path) {
  for (const std::uint32_t key : frame.keys) {  // in key order
    if (key != class_key_ && key != properties_key_ && key != children_key_ &&
        key != write_status_key_ && key != received_key_) {
      return path + " has an unknown key \"" + tree_.KeyAt(key).str() + "\"";
    }
  }
  const PropertyValue* name = frame.class_name ? tree_.ScalarAt(*frame.class_name) : nullptr;
  if (name == nullptr || name->AsString() == nullptr) return path + " has no \"class\" string";
  if (frame.properties && !SnapshotTree::IsDictionary(*frame.properties))
    return path + ".properties is not an object";
  if (frame.properties && frame.properties_height > kMaxSnapshotDepth) {
    if (auto at = TooDeepAt(tree_.Value(*frame.properties), path + ".properties", 1))
      return *at + " " + TooDeep();
  }
  if (frame.write_status && !StatusOf(tree_.Value(*frame.write_status))) {
    return path + ".write-status is not a 32-bit status (an integer or \"0x\" and hex digits)";
  }
  if (frame.received) {
    if (!SnapshotTree::IsArray(*frame.received)) return path + ".received-settings is not an array";
    const PropertyValue received = tree_.Value(*frame.received);
    for (std::size_t i = 0; i < received.AsArray()->size(); ++i) {
      const std::string item_path = path + ".received-settings[" + std::to_string(i) + "]";
      const PropertyValue& item = (*received.AsArray())[i];
      if (item.AsDictionary() == nullptr) return item_path + " is not an object";
      if (auto at = TooDeepAt(item, item_path, 1)) return *at + " " + TooDeep();
    }
  }
  if (frame.children_other && !frame.children_array) return path + ".children is not an array";
  return std::nullopt;
}

Status SnapshotBuilder::Finish(ClassTable& classes, Dictionary& captured) {
  if (document_not_object_) return Refuse("the document", "is not a JSON object");
  if (unknown_top_key_) {
    return Refuse("the document", "has an unknown key \"" + *unknown_top_key_ + "\"");
  }
  if (classes_) {
    if (Status loaded = Classes(classes); !loaded.ok()) return loaded;
  }
  if (captured_) {
    if (Status noted = Captured(captured); !noted.ok()) return noted;
  }
  if (!root_) return Refuse("the document", "has no \"root\" entry");
  if (fault_) return Status::Error(kIoError, fault_->second);
  return Status::Ok();
}

// Where and when the capture was taken: texts only, which no registry value is made of.
Status SnapshotBuilder::Captured(Dictionary& captured) const {
  if (!SnapshotTree::IsDictionary(*captured_)) return Refuse("\"captured\"", "is not an object");
  for (const auto& [name, text] : tree_.Members(*captured_)) {
    if (text.AsString() == nullptr) return Refuse("captured." + name.str(), "is not a string");
    captured.insert_or_assign(name, text);
  }
  return Status::Ok();
}

Status SnapshotBuilder::Classes(ClassTable& classes) const {
  if (!SnapshotTree::IsDictionary(*classes_)) return Refuse("\"classes\"", "is not an object");
  for (const auto& [name, super] : tree_.Members(*classes_)) {
    if (super.AsString() == nullptr)
      return Refuse("classes." + name.str(), "must name its superclass as a string");
    classes[name.str()] = *super.AsString();
  }
  // Every chain of superclasses must end; a cycle would make class tests meaningless. Each
  // class is walked once: a chain stops at a class already known to lead to an end, so a long
  // chain costs its length, not its square.
  enum class Seen { kOnThisChain, kEnds };
  std::map<std::string_view, Seen> seen;
  std::vector<std::string_view> chain;
  for (const auto& [name, unused] : classes) {
    chain.clear();
    for (std::string_view current = name;;) {
      auto [at, fresh] = seen.try_emplace(current, Seen::kOnThisChain);
      if (!fresh && at->second == Seen::kOnThisChain)
        return Refuse("classes." + name, "is part of a cycle");
      if (!fresh) break;
      chain.push_back(current);
      auto it = classes.find(current);
      if (it == classes.end()) break;
      current = it->second;
    }
    for (std::string_view c : chain) seen[c] = Seen::kEnds;
  }
  return Status::Ok();
}

}  // namespace halvane
