#include "registry/snapshot.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/tree_walk.h"

namespace halvane {
namespace {

using Json = nlohmann::json;

std::string DataText(const Data& bytes) {
  std::string text;
  AppendHex(text, bytes, ' ');
  return text;
}

std::string StatusText(StatusCode status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(status));
  return text;
}

// The snapshot layout: two spaces of indent per level, one member or item per line, as
// hand-written snapshots are laid out, so that a save changes only the lines of what changed.
class SnapshotWriter {
 public:
  explicit SnapshotWriter(std::string* out) : out_(*out) {}

  void Document(const MemoryRegistry& registry) {
    if (registry.classes().empty() && registry.root() == nullptr) {
      out_.append("{}\n");
      return;
    }
    out_.append("{");
    const char* separator = "\n";
    if (!registry.classes().empty()) {
      out_.append(separator);
      Indent(1);
      out_.append("\"classes\": {");
      const char* inner = "\n";
      for (const auto& [name, super] : registry.classes()) {
        out_.append(inner);
        Indent(2);
        String(name);
        out_.append(": ");
        String(super);
        inner = ",\n";
      }
      out_.push_back('\n');
      Indent(1);
      out_.push_back('}');
      separator = ",\n";
    }
    if (registry.root() != nullptr) {
      out_.append(separator);
      Indent(1);
      out_.append("\"root\": ");
      Entries(registry.root());
    }
    out_.append("\n}\n");
  }

 private:
  void Indent(std::size_t level) { out_.append(2 * level, ' '); }

  void String(std::string_view text) { AppendJsonString(out_, text); }

  void Members(const Dictionary& members, std::size_t level) {
    if (members.empty()) {
      out_.append("{}");
      return;
    }
    out_.push_back('{');
    const char* separator = "\n";
    for (const auto& [key, item] : members) {
      out_.append(separator);
      Indent(level + 1);
      String(key);
      out_.append(": ");
      Value(item, level + 1);
      separator = ",\n";
    }
    out_.push_back('\n');
    Indent(level);
    out_.push_back('}');
  }

  // Values nest at most kMaxSnapshotDepth levels, so the call stack bounds nothing here.
  void Value(const PropertyValue& value, std::size_t level) {
    switch (value.kind()) {
      case PropertyValue::Kind::kString:
        return String(*value.AsString());
      case PropertyValue::Kind::kNumber:
        return std::visit(
            [this](auto v) {
              if constexpr (std::is_same_v<decltype(v), double>) {
                out_.append(Json(v).dump());
              } else {
                out_.append(std::to_string(v));
              }
            },
            value.AsNumber()->raw());
      case PropertyValue::Kind::kData:
        out_.append("{\n");
        Indent(level + 1);
        out_.append("\"$data\": ");
        String(DataText(*value.AsData()));
        out_.push_back('\n');
        Indent(level);
        out_.push_back('}');
        return;
      case PropertyValue::Kind::kBoolean:
        out_.append(*value.AsBoolean() ? "true" : "false");
        return;
      case PropertyValue::Kind::kArray: {
        const Array& items = *value.AsArray();
        if (items.empty()) {
          out_.append("[]");
          return;
        }
        out_.push_back('[');
        const char* separator = "\n";
        for (const PropertyValue& item : items) {
          out_.append(separator);
          Indent(level + 1);
          Value(item, level + 1);
          separator = ",\n";
        }
        out_.push_back('\n');
        Indent(level);
        out_.push_back(']');
        return;
      }
      case PropertyValue::Kind::kDictionary:
        return Members(*value.AsDictionary(), level);
    }
  }

  // Opens an entry whose "{" stands at level; answers whether its children follow.
  bool BeginEntry(const MemoryRegistry::Node* node, std::size_t level) {
    out_.append("{\n");
    Indent(level + 1);
    out_.append("\"class\": ");
    String(node->class_name);
    if (const Dictionary& props = *node->properties.AsDictionary(); !props.empty()) {
      out_.append(",\n");
      Indent(level + 1);
      out_.append("\"properties\": ");
      Members(props, level + 1);
    }
    if (node->write_status != 0) {
      out_.append(",\n");
      Indent(level + 1);
      out_.append("\"write-status\": ");
      String(StatusText(node->write_status));
    }
    if (node->keeps_received_settings) {
      out_.append(",\n");
      Indent(level + 1);
      out_.append("\"received-settings\": ");
      if (node->received_settings.empty()) {
        out_.append("[]");
      } else {
        out_.push_back('[');
        const char* separator = "\n";
        for (const Dictionary& settings : node->received_settings) {
          out_.append(separator);
          Indent(level + 2);
          Members(settings, level + 2);
          separator = ",\n";
        }
        out_.push_back('\n');
        Indent(level + 1);
        out_.push_back(']');
      }
    }
    if (node->children.empty()) {
      out_.push_back('\n');
      Indent(level);
      out_.push_back('}');
      return false;
    }
    out_.append(",\n");
    Indent(level + 1);
    out_.append("\"children\": [\n");
    return true;
  }

  // An entry of depth d stands at level 1 + 2d: its parent's "children" array is between them.
  void Entries(const MemoryRegistry::Node* root) {
    struct Cursor {
      const MemoryRegistry::Node* node;
      std::size_t next = 0;
      const MemoryRegistry::Node* Next() {
        return next < node->children.size() ? node->children[next++].get() : nullptr;
      }
    };
    VisitTree(
        root, [](const MemoryRegistry::Node* node) { return Cursor{node}; },
        [this](const MemoryRegistry::Node* node, std::size_t depth, std::size_t index) {
          const std::size_t level = 1 + 2 * depth;
          if (depth > 0) {
            if (index > 0) out_.append(",\n");
            Indent(level);
          }
          return BeginEntry(node, level) ? Visit::kChildren : Visit::kSkipChildren;
        },
        [this](const MemoryRegistry::Node* node, std::size_t depth) {
          if (node->children.empty()) return;
          const std::size_t level = 1 + 2 * depth;
          out_.push_back('\n');
          Indent(level + 1);
          out_.append("]\n");
          Indent(level);
          out_.push_back('}');
        });
  }

  std::string& out_;
};

}  // namespace

std::string SerializeSnapshot(const MemoryRegistry& registry) {
  std::string out;
  SnapshotWriter(&out).Document(registry);
  return out;
}

}  // namespace halvane
