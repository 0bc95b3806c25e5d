#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/snapshot.h"

namespace halvane {
namespace {

// A piece is handed over once this much is written.
constexpr std::size_t kPiece = std::size_t{1} << 16;

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

}  // namespace

// The snapshot layout: two spaces of indent per level, one member or item per line, as
// hand-written snapshots are laid out, so that a save changes only the lines of what changed.
void SnapshotWriter::Begin(const ClassTable& classes, bool has_root, const Dictionary* captured) {
  if (captured && captured->empty()) captured = nullptr;
  if (classes.empty() && !has_root && !captured) {
    out_.append("{}\n");
    whole_ = true;
    return;
  }
  out_.append("{");
  const char* separator = "\n";
  if (captured) {
    out_.append(separator);
    Indent(1);
    out_.append("\"captured\": ");
    Members(*captured, 1);
    separator = ",\n";
  }
  if (!classes.empty()) {
    out_.append(separator);
    Indent(1);
    out_.append("\"classes\": {");
    const char* inner = "\n";
    for (const auto& [name, super] : classes) {
      out_.append(inner);
      Indent(2);
      String(name);
      out_.append(": ");
      String(super);
      inner = ",\n";
      HandOver(false);
    }
    out_.push_back('\n');
    Indent(1);
    out_.push_back('}');
    separator = ",\n";
  }
  if (has_root) {
    out_.append(separator);
    Indent(1);
    out_.append("\"root\": ");
  }
}

void SnapshotWriter::String(std::string_view text) { AppendJsonString(out_, text); }

void SnapshotWriter::Members(const Dictionary& members, std::size_t level) {
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
void SnapshotWriter::Value(const PropertyValue& value, std::size_t level) {
  switch (value.kind()) {
    case PropertyValue::Kind::kString:
      return String(*value.AsString());
    case PropertyValue::Kind::kNumber:
      return std::visit(
          [this](auto v) {
            if constexpr (std::is_same_v<decltype(v), double>) {
              out_.append(nlohmann::json(v).dump());
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

// An entry of depth d stands at level 1 + 2d: its parent's "children" array is between them.
void SnapshotWriter::Enter(const SnapshotEntry& entry, std::size_t depth, std::size_t index,
                           bool has_children) {
  if (failed()) return;
  const std::size_t level = 1 + 2 * depth;
  if (depth > 0) {
    if (index > 0) out_.append(",\n");
    Indent(level);
  }
  out_.append("{\n");
  Indent(level + 1);
  out_.append("\"class\": ");
  String(entry.class_name);
  if (!entry.properties.empty()) {
    out_.append(",\n");
    Indent(level + 1);
    out_.append("\"properties\": ");
    Members(entry.properties, level + 1);
  }
  if (entry.write_status != 0) {
    out_.append(",\n");
    Indent(level + 1);
    out_.append("\"write-status\": ");
    String(StatusText(entry.write_status));
  }
  if (entry.received_settings != nullptr) {
    out_.append(",\n");
    Indent(level + 1);
    out_.append("\"received-settings\": ");
    if (entry.received_settings->empty()) {
      out_.append("[]");
    } else {
      out_.push_back('[');
      const char* separator = "\n";
      for (const Dictionary& settings : *entry.received_settings) {
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
  has_children_.resize(depth + 1);
  has_children_[depth] = has_children;
  if (has_children) {
    out_.append(",\n");
    Indent(level + 1);
    out_.append("\"children\": [\n");
  } else {
    out_.push_back('\n');
    Indent(level);
    out_.push_back('}');
  }
  HandOver(false);
}

void SnapshotWriter::Leave(std::size_t depth) {
  if (failed() || depth >= has_children_.size() || !has_children_[depth]) return;
  const std::size_t level = 1 + 2 * depth;
  out_.push_back('\n');
  Indent(level + 1);
  out_.append("]\n");
  Indent(level);
  out_.push_back('}');
  has_children_[depth] = false;
}

Status SnapshotWriter::Finish() {
  if (!whole_) out_.append("\n}\n");
  HandOver(true);
  return status_;
}

void SnapshotWriter::HandOver(bool all) {
  if (failed()) {
    out_.clear();
    return;
  }
  if (out_.size() < kPiece && !(all && !out_.empty())) return;
  status_ = sink_.Write(out_);
  out_.clear();
}

}  // namespace halvane
