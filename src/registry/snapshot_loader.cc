#include <climits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/tree_walk.h"
#include "registry/snapshot.h"
#include "registry/snapshot_parser.h"

namespace halvane {
namespace {

Status Refuse(const std::string& where, const std::string& what) {
  return Status::Error(kIoError, where + " " + what);
}

std::string TooDeep() {
  return "is nested deeper than " + std::to_string(kMaxSnapshotDepth) + " levels";
}

// An entry of the document as the tree walk takes it: its value and its place among its
// siblings.
struct EntryText {
  const PropertyValue* value = nullptr;
  std::size_t index = 0;
  explicit operator bool() const { return value != nullptr; }
};

// The entries of an entry's "children", which LoadEntry has found to be an array.
struct EntryCursor {
  const Array* items;
  std::size_t next = 0;
  EntryText Next() {
    if (items == nullptr || next == items->size()) return EntryText();
    const std::size_t index = next++;
    return EntryText{&(*items)[index], index};
  }
};

// Turns the document's entry dictionaries into registry nodes. Property tables are shared with
// the parsed document, never copied.
class Loader {
 public:
  // Property values need their depth checked only when the document nests that deep at all.
  Loader(MemoryRegistry& out, std::size_t document_depth)
      : out_(out), check_property_depth_(document_depth > kMaxSnapshotDepth) {}

  Status Load(const PropertyValue& doc) {
    const Dictionary* top = doc.AsDictionary();
    if (top == nullptr) return Refuse("the document", "is not a JSON object");
    for (const auto& [key, value] : *top) {
      if (key != "classes" && key != "root")
        return Refuse("the document", "has an unknown key \"" + key.str() + "\"");
    }
    if (const PropertyValue* classes = FindMember(*top, "classes")) {
      if (Status loaded = LoadClasses(*classes); !loaded.ok()) return loaded;
    }
    const PropertyValue* root = FindMember(*top, "root");
    if (root == nullptr) return Refuse("the document", "has no \"root\" entry");
    return LoadEntries(*root);
  }

 private:
  Status LoadClasses(const PropertyValue& value) {
    const Dictionary* classes = value.AsDictionary();
    if (classes == nullptr) return Refuse("\"classes\"", "is not an object");
    for (const auto& [name, super] : *classes) {
      if (super.AsString() == nullptr)
        return Refuse("classes." + name.str(), "must name its superclass as a string");
      out_.DeclareClass(name.str(), *super.AsString());
    }
    // Every chain of superclasses must end; a cycle would make class tests meaningless. Each
    // class is walked once: a chain stops at a class already known to lead to an end, so a long
    // chain costs its length, not its square.
    enum class Seen { kOnThisChain, kEnds };
    std::map<std::string_view, Seen> seen;
    std::vector<std::string_view> chain;
    for (const auto& [name, unused] : out_.classes()) {
      chain.clear();
      for (std::string_view current = name;;) {
        auto [at, fresh] = seen.try_emplace(current, Seen::kOnThisChain);
        if (!fresh && at->second == Seen::kOnThisChain)
          return Refuse("classes." + name, "is part of a cycle");
        if (!fresh) break;
        chain.push_back(current);
        auto it = out_.classes().find(current);
        if (it == out_.classes().end()) break;
        current = it->second;
      }
      for (std::string_view c : chain) seen[c] = Seen::kEnds;
    }
    return Status::Ok();
  }

  // The depth limit, not the call stack, decides how deep a snapshot may go.
  Status LoadEntries(const PropertyValue& root) {
    Status status;
    std::vector<std::string> paths;              // of the entries being walked, by depth
    std::vector<MemoryRegistry::Node*> parents;  // the nodes made of them
    VisitTree(
        EntryText{&root, 0},
        [](const EntryText& entry) {
          const PropertyValue* children = FindMember(*entry.value->AsDictionary(), "children");
          return EntryCursor{children ? children->AsArray() : nullptr};
        },
        [&](const EntryText& entry, std::size_t depth, std::size_t) {
          paths.resize(depth + 1);
          parents.resize(depth + 1);
          paths[depth] = depth == 0
                             ? "root"
                             : paths[depth - 1] + ".children[" + std::to_string(entry.index) + "]";
          StatusOr<MemoryRegistry::Node*> node =
              depth + 1 > kMaxSnapshotDepth
                  ? StatusOr<MemoryRegistry::Node*>(Refuse(paths[depth], TooDeep()))
                  : LoadEntry(*entry.value, depth ? parents[depth - 1] : nullptr, paths[depth]);
          if (!node.ok()) {
            status = node.status();
            return Visit::kStop;
          }
          parents[depth] = *node;
          return Visit::kChildren;
        },
        NoLeave());
    return status;
  }

  StatusOr<MemoryRegistry::Node*> LoadEntry(const PropertyValue& value,
                                            MemoryRegistry::Node* parent, const std::string& path) {
    const Dictionary* entry = value.AsDictionary();
    if (entry == nullptr) return Refuse(path, "is not an object");
    for (const auto& [key, unused] : *entry) {
      if (key != "class" && key != "properties" && key != "children" && key != "write-status" &&
          key != "received-settings") {
        return Refuse(path, "has an unknown key \"" + key.str() + "\"");
      }
    }
    const PropertyValue* cls = FindMember(*entry, "class");
    if (cls == nullptr || cls->AsString() == nullptr)
      return Refuse(path, "has no \"class\" string");
    const PropertyValue* properties = FindMember(*entry, "properties");
    if (properties != nullptr && properties->AsDictionary() == nullptr)
      return Refuse(path + ".properties", "is not an object");
    if (properties != nullptr) {
      if (Status within = WithinDepth(*properties, path + ".properties", 1); !within.ok())
        return within;
    }
    MemoryRegistry::Node* node =
        parent ? out_.AddChild(parent, *cls->AsString()) : out_.SetRoot(*cls->AsString());
    if (properties != nullptr) node->properties = *properties;
    if (const PropertyValue* status = FindMember(*entry, "write-status")) {
      const std::optional<StatusCode> code = StatusOf(*status);
      if (!code) {
        return Refuse(path + ".write-status",
                      "is not a 32-bit status (an integer or \"0x\" and hex digits)");
      }
      node->write_status = *code;
    }
    if (const PropertyValue* received = FindMember(*entry, "received-settings")) {
      const Array* items = received->AsArray();
      if (items == nullptr) return Refuse(path + ".received-settings", "is not an array");
      node->keeps_received_settings = true;
      for (std::size_t i = 0; i < items->size(); ++i) {
        const std::string item_path = path + ".received-settings[" + std::to_string(i) + "]";
        const Dictionary* settings = (*items)[i].AsDictionary();
        if (settings == nullptr) return Refuse(item_path, "is not an object");
        if (Status within = WithinDepth((*items)[i], item_path, 1); !within.ok()) return within;
        node->received_settings.push_back(*settings);
      }
    }
    const PropertyValue* children = FindMember(*entry, "children");
    if (children != nullptr && children->AsArray() == nullptr)
      return Refuse(path + ".children", "is not an array");
    return node;
  }

  // Property values may nest at most kMaxSnapshotDepth levels; the recursion is bounded by that.
  Status WithinDepth(const PropertyValue& value, const std::string& path, int depth) {
    if (!check_property_depth_) return Status::Ok();
    if (depth > kMaxSnapshotDepth) return Refuse(path, TooDeep());
    if (const Dictionary* members = value.AsDictionary()) {
      for (const auto& [key, item] : *members) {
        if (!item.AsDictionary() && !item.AsArray()) continue;
        if (Status within = WithinDepth(item, path + "." + key.str(), depth + 1); !within.ok())
          return within;
      }
    } else if (const Array* items = value.AsArray()) {
      for (std::size_t i = 0; i < items->size(); ++i) {
        const PropertyValue& item = (*items)[i];
        if (!item.AsDictionary() && !item.AsArray()) continue;
        if (Status within = WithinDepth(item, path + "[" + std::to_string(i) + "]", depth + 1);
            !within.ok())
          return within;
      }
    }
    return Status::Ok();
  }

  // A write-status: a 32-bit integer, signed or not, or "0x" and up to eight hex digits.
  static std::optional<StatusCode> StatusOf(const PropertyValue& value) {
    std::optional<std::int64_t> v = value.AsInt64();
    if (const std::string* text = value.AsString()) {
      const auto hex = ParsePrefixedHex(*text, 8);
      if (hex) v = static_cast<std::int64_t>(*hex);
    }
    if (!v || *v < INT32_MIN || *v > static_cast<std::int64_t>(UINT32_MAX)) return std::nullopt;
    return static_cast<StatusCode>(static_cast<std::uint32_t>(*v));
  }

  MemoryRegistry& out_;
  bool check_property_depth_;
};

// Text already in memory, handed over whole.
class WholeText : public TextSource {
 public:
  explicit WholeText(std::string_view text) : left_(text) {}
  StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
    const std::size_t got = left_.copy(buffer, size);
    left_.remove_prefix(got);
    return got;
  }

 private:
  std::string_view left_;
};

}  // namespace

Status LoadSnapshotText(TextSource& source, MemoryRegistry& registry) {
  StatusOr<SnapshotDocument> document = ParseSnapshotDocument(source);
  if (!document.ok()) return document.status();
  return Loader(registry, document->depth).Load(document->value);
}

StatusOr<std::unique_ptr<MemoryRegistry>> ParseSnapshot(std::string_view text) {
  auto registry = std::make_unique<MemoryRegistry>();
  WholeText whole(text);
  if (Status loaded = LoadSnapshotText(whole, *registry); !loaded.ok()) return loaded;
  return registry;
}

}  // namespace halvane
