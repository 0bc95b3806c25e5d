#include <climits>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "registry/snapshot.h"
#include "registry/snapshot_parser.h"

namespace halvane {
namespace {

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
    // Every chain of superclasses must end; a cycle would make class tests meaningless. Each
    // class is walked once: a chain stops at a class already known to lead to an end, so a long
    // chain costs its length, not its square.
    enum class Seen { kOnThisChain, kEnds };
    std::map<std::string_view, Seen> seen;
    std::vector<std::string_view> chain;
    for (const auto& [name, unused] : out_->classes()) {
      chain.clear();
      for (std::string_view current = name;;) {
        auto [at, fresh] = seen.try_emplace(current, Seen::kOnThisChain);
        if (!fresh && at->second == Seen::kOnThisChain)
          return Fail("classes." + name, "is part of a cycle");
        if (!fresh) break;
        chain.push_back(current);
        auto it = out_->classes().find(current);
        if (it == out_->classes().end()) break;
        current = it->second;
      }
      for (std::string_view c : chain) seen[c] = Seen::kEnds;
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

  static bool LoadStatus(const PropertyValue& value, StatusCode* out) {
    if (const Number* number = value.AsNumber()) {
      std::int64_t v = 0;
      if (number->ToInt64(&v) && v >= INT32_MIN && v <= static_cast<std::int64_t>(UINT32_MAX)) {
        *out = static_cast<StatusCode>(static_cast<std::uint32_t>(v));
        return true;
      }
      return false;
    }
    const std::string* text = value.AsString();
    const auto v = text ? ParsePrefixedHex(*text, 8) : std::nullopt;
    if (!v) return false;
    *out = static_cast<StatusCode>(static_cast<std::uint32_t>(*v));
    return true;
  }

  MemoryRegistry* out_;
  bool check_property_depth_;
  std::string error_;
};

}  // namespace

Status LoadSnapshotText(TextSource& source, MemoryRegistry* out) {
  // A snapshot larger than the memory the run may have is refused like any other: the values
  // built so far go back as the failure leaves.
  try {
    SnapshotDocument document;
    if (Status parsed = ParseSnapshotDocument(source, &document); !parsed.ok()) return parsed;
    Loader loader(out, document.depth);
    if (!loader.Load(document.value)) return Status::Error(kRegistryIoError, loader.error());
    return Status::Ok();
  } catch (const std::bad_alloc&) {
    return Status::Error(kRegistryIoError, "not enough memory to load it");
  }
}

Status ParseSnapshot(std::string_view text, MemoryRegistry* out) {
  class Whole : public TextSource {
   public:
    explicit Whole(std::string_view text) : left_(text) {}
    Status Read(char* buffer, std::size_t size, std::size_t* got) override {
      *got = left_.copy(buffer, size);
      left_.remove_prefix(*got);
      return Status::Ok();
    }

   private:
    std::string_view left_;
  } whole(text);
  return LoadSnapshotText(whole, out);
}

}  // namespace halvane
