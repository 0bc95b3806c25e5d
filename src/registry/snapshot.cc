#include "registry/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace halvane {
namespace {

using Json = nlohmann::json;

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

std::string DataText(const Data& bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text.push_back(' ');
    AppendHexByte(text, bytes[i]);
  }
  return text;
}

// Builds registry values straight from the parser's events, with no intermediate document: an
// object becomes a Dictionary (a key given twice is refused when it is inserted), an object whose
// only key is "$data" becomes Data, null is refused where it stands. The place of a fault is kept
// as a path of keys and indices, written out only when there is a fault.
class ValueBuilder {
 public:
  std::optional<PropertyValue> TakeResult() { return std::move(result_); }
  const std::string& error() const { return error_; }
  bool syntax_error() const { return syntax_error_; }
  std::size_t error_byte() const { return error_byte_; }

  bool null() { return Fail(Path() + " is null"); }
  bool boolean(bool v) { return Add(PropertyValue::Boolean(v)); }
  bool number_integer(std::int64_t v) { return Add(PropertyValue::OfNumber(Number::FromInt64(v))); }
  bool number_unsigned(std::uint64_t v) {
    return Add(PropertyValue::OfNumber(Number::FromUInt64(v)));
  }
  bool number_float(double v, const std::string&) {
    return Add(PropertyValue::OfNumber(Number::FromDouble(v)));
  }
  bool string(std::string& v) { return Add(PropertyValue::String(std::move(v))); }
  bool binary(Json::binary_t&) { return Fail(Path() + " is not a value a registry can hold"); }

  bool start_object(std::size_t) { return Open(true); }
  bool key(std::string& k) {
    // Copied, not taken: the parser then keeps its token buffer and this frame its own.
    frames_.back().key.assign(k);
    return true;
  }
  bool end_object() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.members.size() == 1 && frame.members.begin()->first == "$data") {
      const std::string* text = frame.members.begin()->second.AsString();
      Data bytes;
      if (text == nullptr || !ParseDataText(*text, &bytes)) {
        frames_.push_back(std::move(frame));  // so that the path names this object
        frames_.back().key.clear();
        return Fail(Path() + " has a \"$data\" that is not pairs of hexadecimal digits");
      }
      return Add(PropertyValue::OfData(std::move(bytes)));
    }
    return Add(PropertyValue::OfDictionary(std::move(frame.members)));
  }
  bool start_array(std::size_t) { return Open(false); }
  bool end_array() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return Add(PropertyValue::OfArray(std::move(frame.items)));
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
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
  struct Frame {
    bool is_object;
    std::string name;  // where this container stands in its parent, as a path step
    std::string key;   // objects: the key of the member being read
    Dictionary members;
    Array items;
  };

  bool Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  // The path of the value being read: "root.children[0].properties.k".
  std::string Path() const {
    std::string path;
    for (const Frame& f : frames_) path += f.name;
    if (!frames_.empty()) path += NextStep(frames_.back());
    if (!path.empty() && path[0] == '.') path.erase(0, 1);
    return path.empty() ? "the document" : path;
  }
  static std::string NextStep(const Frame& f) {
    std::string step;
    if (!f.is_object) {
      step.append("[").append(std::to_string(f.items.size())).append("]");
    } else if (!f.key.empty()) {
      step.append(".").append(f.key);
    }
    return step;
  }

  bool Open(bool is_object) {
    // Containers nest on the heap here, but values are released recursively: bound the depth.
    if (frames_.size() >= kMaxJsonDepth) {
      return Fail(Path() + " is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    Frame frame{is_object, frames_.empty() ? "" : NextStep(frames_.back()), {}, {}, {}};
    frames_.push_back(std::move(frame));
    return true;
  }

  bool Add(PropertyValue value) {
    if (frames_.empty()) {
      result_ = std::move(value);
      return true;
    }
    Frame& top = frames_.back();
    if (!top.is_object) {
      top.items.push_back(std::move(value));
      return true;
    }
    if (!top.members.emplace(top.key, std::move(value)).second) {
      return Fail("the key \"" + top.key + "\" appears twice in one object");
    }
    return true;
  }

  // Entries nest two JSON levels each (an entry, its children array) below the document, and a
  // property value may nest as deep again.
  static constexpr std::size_t kMaxJsonDepth = 2 * kMaxSnapshotDepth + kMaxSnapshotDepth + 8;

  std::vector<Frame> frames_;
  std::optional<PropertyValue> result_;
  std::string error_;
  bool syntax_error_ = false;
  std::size_t error_byte_ = 0;
};

// Turns the document's entry dictionaries into registry nodes. Property tables are shared with
// the parsed document, never copied.
class Loader {
 public:
  explicit Loader(MemoryRegistry* out) : out_(out) {}

  bool Load(const PropertyValue& doc) {
    const Dictionary* top = doc.AsDictionary();
    if (top == nullptr) return Fail("the document", "is not a JSON object");
    for (const auto& [key, value] : *top) {
      if (key != "classes" && key != "root")
        return Fail("the document", "has an unknown key \"" + key + "\"");
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
        return Fail("classes." + name, "must name its superclass as a string");
      out_->DeclareClass(name, *super.AsString());
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
        Fail(path, "has an unknown key \"" + key + "\"");
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
    if (properties != nullptr && !WithinDepth(*properties, path + ".properties", 1)) return nullptr;
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
            !WithinDepth(item, path + "." + key, depth + 1))
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
  std::string error_;
};

Json ValueToJson(const PropertyValue& value);

Json MembersToJson(const Dictionary& members) {
  Json object = Json::object();
  for (const auto& [key, item] : members) object[key] = ValueToJson(item);
  return object;
}

Json ValueToJson(const PropertyValue& value) {
  switch (value.kind()) {
    case PropertyValue::Kind::kString:
      return *value.AsString();
    case PropertyValue::Kind::kNumber:
      return std::visit([](auto v) { return Json(v); }, value.AsNumber()->raw());
    case PropertyValue::Kind::kData:
      return Json{{"$data", DataText(*value.AsData())}};
    case PropertyValue::Kind::kBoolean:
      return *value.AsBoolean();
    case PropertyValue::Kind::kArray: {
      Json array = Json::array();
      for (const PropertyValue& item : *value.AsArray()) array.push_back(ValueToJson(item));
      return array;
    }
    case PropertyValue::Kind::kDictionary:
      return MembersToJson(*value.AsDictionary());
  }
  return Json();
}

std::string StatusText(RegistryStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Writes the entries one line each, depth first, holding no more than one entry's table as a
// document at a time: a large registry is written in about the space of its text.
void WriteEntries(const MemoryRegistry::Node* root, std::string* out) {
  struct Open {
    const MemoryRegistry::Node* node;
    std::size_t next_child;
  };
  std::vector<Open> stack;
  auto begin_entry = [&](const MemoryRegistry::Node* node) {
    out->append(2 * stack.size() + 2, ' ');
    out->append("{\"class\": ").append(Dump(node->class_name));
    const Dictionary& props = *node->properties.AsDictionary();
    if (!props.empty()) out->append(", \"properties\": ").append(Dump(MembersToJson(props)));
    if (node->write_status != kRegistrySuccess) {
      out->append(", \"write-status\": ").append(Dump(StatusText(node->write_status)));
    }
    if (node->keeps_received_settings) {
      Json received = Json::array();
      for (const Dictionary& settings : node->received_settings)
        received.push_back(MembersToJson(settings));
      out->append(", \"received-settings\": ").append(Dump(received));
    }
    if (node->children.empty()) {
      out->append("}");
    } else {
      out->append(", \"children\": [\n");
      stack.push_back({node, 0});
    }
  };
  begin_entry(root);
  while (!stack.empty()) {
    Open& top = stack.back();
    if (top.next_child == top.node->children.size()) {
      stack.pop_back();
      out->append("]}");
      continue;
    }
    if (top.next_child > 0) out->append(",\n");
    begin_entry(top.node->children[top.next_child++].get());
  }
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

}  // namespace

bool ParseSnapshot(std::string_view text, MemoryRegistry* out, std::string* error) {
  ValueBuilder builder;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) {
    if (builder.syntax_error()) {
      // The byte offset of the fault becomes a line and a column, counted from 1.
      std::size_t line = 1;
      std::size_t column = 1;
      const std::size_t end = std::min<std::size_t>(
          builder.error_byte() > 0 ? builder.error_byte() - 1 : 0, text.size());
      for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
          ++line;
          column = 1;
        } else {
          ++column;
        }
      }
      *error = "syntax error at line " + std::to_string(line) + ", column " +
               std::to_string(column) + ": " + builder.error();
    } else {
      *error = builder.error();
    }
    return false;
  }
  std::optional<PropertyValue> doc = builder.TakeResult();
  Loader loader(out);
  if (!doc || !loader.Load(*doc)) {
    *error = doc ? loader.error() : "the document is empty";
    return false;
  }
  return true;
}

std::string SerializeSnapshot(const MemoryRegistry& registry) {
  std::string out = "{";
  if (!registry.classes().empty()) {
    Json classes = Json::object();
    for (const auto& [name, super] : registry.classes()) classes[name] = super;
    out.append("\"classes\": ").append(Dump(classes));
  }
  if (registry.root() != nullptr) {
    out.append(registry.classes().empty() ? "\"root\":\n" : ",\n\"root\":\n");
    WriteEntries(registry.root(), &out);
  }
  out.append("}\n");
  return out;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view text, std::string* error,
                           FileIdentity* expected) {
  // Replace what a symbolic link points at, not the link itself.
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) {
    *error = ErrnoText(path);
    return false;
  }
  const std::string target = resolved;
  struct stat original {};
  if (stat(target.c_str(), &original) != 0) {
    *error = ErrnoText(target);
    return false;
  }
  std::string temp = target + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot create a temporary file beside " + target);
    return false;
  }
  auto abandon = [&](const std::string& what) {
    *error = ErrnoText(what);
    close(fd);
    unlink(temp.c_str());
    return false;
  };
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("cannot write " + temp);
    }
    written += static_cast<std::size_t>(n);
  }
  if (fchmod(fd, original.st_mode & 07777) != 0) return abandon("cannot set the mode of " + temp);
  if ((original.st_uid != geteuid() || original.st_gid != getegid()) &&
      fchown(fd, original.st_uid, original.st_gid) != 0) {
    return abandon("cannot set the owner of " + temp);
  }
  if (fsync(fd) != 0) return abandon("cannot flush " + temp);
  if (close(fd) != 0) {
    *error = ErrnoText("cannot close " + temp);
    unlink(temp.c_str());
    return false;
  }
  // As late as possible before the rename: a file someone else wrote since it was read is theirs.
  struct stat current {};
  if (expected != nullptr &&
      (stat(target.c_str(), &current) != 0 || !(IdentityOf(current) == *expected))) {
    *error = target + " was changed by someone else since it was read; not overwriting it";
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    *error = ErrnoText("cannot rename " + temp);
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const std::string folder = target.substr(0, target.find_last_of('/') + 1);
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  if (expected != nullptr && stat(target.c_str(), &current) == 0) *expected = IdentityOf(current);
  return true;
}

std::unique_ptr<MemoryRegistry> LoadSnapshotFile(const std::string& path, std::string* error) {
  // The identity and the content come from one open descriptor, so they describe the same file.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    *error = path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return nullptr;
  }
  auto fail = [&](const std::string& reason) {
    *error = path + ": " + reason;
    close(fd);
    return nullptr;
  };
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");
  if (info.st_size > kMaxSnapshotBytes)
    return fail("larger than 1 GiB, too large for a registry snapshot");
  auto identity = std::make_shared<FileIdentity>(IdentityOf(info));
  std::string content;
  content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::int64_t>(content.size()) > kMaxSnapshotBytes) {
      return fail("larger than 1 GiB, too large for a registry snapshot");
    }
  }
  close(fd);
  auto registry = std::make_unique<MemoryRegistry>();
  std::string reason;
  if (!ParseSnapshot(content, registry.get(), &reason)) {
    *error = path + ": " + reason;
    return nullptr;
  }
  MemoryRegistry* self = registry.get();
  registry->SetDriver(
      [self, path, identity](MemoryRegistry::Node& node, const Dictionary& settings) {
        const bool kept_before = node.keeps_received_settings;
        RegistryStatus status = MemoryRegistry::RecordingDriver(node, settings);
        if (status != kRegistrySuccess) return status;
        std::string save_error;
        if (!ReplaceFileAtomically(path, SerializeSnapshot(*self), &save_error, identity.get())) {
          node.received_settings.pop_back();
          node.keeps_received_settings = kept_before;
          return kRegistryIoError;
        }
        return kRegistrySuccess;
      });
  return registry;
}

}  // namespace halvane
