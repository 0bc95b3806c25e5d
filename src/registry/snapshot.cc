#include "registry/snapshot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/file_io.h"

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
  bool number_float(double v, const std::string& text) {
    // An integer too wide for 64 bits arrives here too; as a floating-point value it would be
    // saved back rounded, so it is refused instead.
    if (text.find_first_of(".eE") == std::string::npos)
      return Fail(Path() + " is an integer wider than 64 bits");
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
    if (frame.members.size() == 1 && frame.members[0].first == "$data") {
      const std::string* text = frame.members[0].second.AsString();
      Data bytes;
      if (text == nullptr || !ParseDataText(*text, &bytes)) {
        frames_.push_back(std::move(frame));  // so that the path names this object
        frames_.back().key.clear();
        return Fail(Path() + " has a \"$data\" that is not pairs of hexadecimal digits");
      }
      return Add(PropertyValue::OfData(std::move(bytes)));
    }
    std::string twice;
    std::optional<Dictionary> members = Dictionary::FromItems(std::move(frame.members), &twice);
    if (!members) return Fail("the key \"" + twice + "\" appears twice in one object");
    return Add(PropertyValue::OfDictionary(std::move(*members)));
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
    // Members as they arrive; sorted into a Dictionary once the object ends, so that a large
    // object costs O(n log n) in any key order.
    std::vector<Dictionary::value_type> members;
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
    top.members.emplace_back(top.key, std::move(value));
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
        if (!WithinDepth((*items)[i], path + ".received-settings[" + std::to_string(i) + "]", 1)) {
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

std::string StatusText(RegistryStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
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

  // Text that needs no escaping is copied as it is; anything else is left to the JSON library.
  void String(std::string_view text) {
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
        out_.append(Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace));
        return;
      }
    }
    out_.push_back('"');
    out_.append(text);
    out_.push_back('"');
  }

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
    if (node->write_status != kRegistrySuccess) {
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

  // Depth first with an explicit stack: entries may nest as deep as the loader allows.
  void Entries(const MemoryRegistry::Node* root) {
    struct Open {
      const MemoryRegistry::Node* node;
      std::size_t level;
      std::size_t next_child;
    };
    std::vector<Open> stack;
    if (BeginEntry(root, 1)) stack.push_back({root, 1, 0});
    while (!stack.empty()) {
      Open& top = stack.back();
      if (top.next_child == top.node->children.size()) {
        out_.push_back('\n');
        Indent(top.level + 1);
        out_.append("]\n");
        Indent(top.level);
        out_.push_back('}');
        stack.pop_back();
        continue;
      }
      if (top.next_child > 0) out_.append(",\n");
      const MemoryRegistry::Node* child = top.node->children[top.next_child++].get();
      const std::size_t level = top.level + 2;
      Indent(level);
      if (BeginEntry(child, level)) stack.push_back({child, level, 0});
    }
  }

  std::string& out_;
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

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Why LockBefore failed.
std::string LockFailure(const std::string& path) {
  if (errno == EWOULDBLOCK) return "another run has been saving " + path + " for too long";
  return ErrnoText("cannot lock " + path);
}

// Which file a name stood for when it was read, and what it held: a file replaced or rewritten
// since then is someone else's.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
  bool SameFile(const struct stat& info) const {
    return device == static_cast<std::uint64_t>(info.st_dev) &&
           inode == static_cast<std::uint64_t>(info.st_ino);
  }
};

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// How long a writer waits for the writers before it. A save of the largest snapshot takes
// seconds; a lock held longer than this belongs to a run that is stuck, and waiting on it
// would make this one stuck too.
constexpr auto kLockWait = std::chrono::seconds(60);

// Takes the exclusive lock on fd, waiting at most until deadline; never blocks past it.
bool LockBefore(int fd, std::chrono::steady_clock::time_point deadline) {
  errno = 0;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
}

// While a save writes, a file size limit makes the write fail with EFBIG instead of ending the
// process by SIGXFSZ with a temporary file left behind.
class FileSizeSignalIgnored {
 public:
  FileSizeSignalIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    restore_ = sigaction(SIGXFSZ, &ignore, &saved_) == 0;
  }
  ~FileSizeSignalIgnored() {
    if (restore_) sigaction(SIGXFSZ, &saved_, nullptr);
  }
  FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
  FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

 private:
  struct sigaction saved_ {};
  bool restore_ = false;
};

// The snapshot file as a run holds it: the folder it was read in (a descriptor, so that a save
// lands there even if the path is redirected meanwhile), the file read, and the writers' lock.
class SnapshotFile {
 public:
  // Opens the file that path names, after its links. For a writer the file is locked first and
  // then checked to be still the one the path names: a writer that saved while this one waited
  // has replaced it, and the new one is opened instead.
  bool Open(const std::string& path, SnapshotUse use, std::string* content, std::string* error) {
    path_ = path;
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
      char resolved[PATH_MAX];
      if (realpath(path.c_str(), resolved) == nullptr) return Fail(ErrnoText(path), error);
      // An absolute path without links: the folder is all before the last slash ("/" for a
      // file at the top), the name all after it ("." for the top itself).
      const std::string_view target = resolved;
      const std::size_t slash = target.find_last_of('/');
      folder_path_ = target.substr(0, std::max<std::size_t>(slash, 1));
      name_ = slash + 1 < target.size() ? target.substr(slash + 1) : std::string_view(".");
      folder_ = Fd(open(folder_path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (folder_.get() < 0) return Fail(ErrnoText(path), error);
      file_ =
          Fd(openat(folder_.get(), name_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
      if (file_.get() < 0) return Fail(ErrnoText(path), error);
      struct stat info {};
      if (fstat(file_.get(), &info) != 0) return Fail(ErrnoText(path), error);
      if (!S_ISREG(info.st_mode)) return Fail(path + ": not a regular file", error);
      if (use == SnapshotUse::kRead) break;
      if (!LockBefore(file_.get(), deadline)) {
        // Read all the same: the listing is still right, and the save will say why it failed.
        lock_failure_ = LockFailure(path);
        break;
      }
      if (StillNamed(IdentityNow())) {
        locked_ = true;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        lock_failure_ = "snapshot kept being replaced while waiting to save: " + path;
        break;
      }
    }
    return Read(content, error);
  }

  // Replaces the file with text, as LoadSnapshotFile says.
  Status Save(std::string_view text) {
    FileSizeSignalIgnored signal_ignored;
    if (!locked_) {
      if (!lock_failure_.empty()) return Failure(lock_failure_);
      if (!LockBefore(file_.get(), std::chrono::steady_clock::now() + kLockWait))
        return Failure(LockFailure(path_));
      locked_ = true;
    }
    if (!StillNamed(identity_)) return Failure("snapshot changed while saving: " + path_);
    struct stat original {};
    if (fstat(file_.get(), &original) != 0) return Failure(ErrnoText(path_));

    std::string temp;
    Fd out = CreateTemporary(&temp);
    if (out.get() < 0)
      return Failure(ErrnoText("cannot create a temporary file in " + folder_path_));
    const std::string temp_path = folder_path_ + "/" + temp;
    auto abandon = [&](const std::string& what) {
      Status result = Failure(ErrnoText(what));
      unlinkat(folder_.get(), temp.c_str(), 0);
      return result;
    };
    if (const int error = WriteAll(out.get(), text, ShortWrite::kContinue); error != 0) {
      errno = error;
      return abandon("cannot write " + temp_path);
    }
    if (fchmod(out.get(), original.st_mode & 07777) != 0)
      return abandon("cannot set the mode of " + temp_path);
    if ((original.st_uid != geteuid() || original.st_gid != getegid()) &&
        fchown(out.get(), original.st_uid, original.st_gid) != 0) {
      return abandon("cannot set the owner of " + temp_path);
    }
    if (fsync(out.get()) != 0) return abandon("cannot flush " + temp_path);
    // The new file is locked before it takes the name, so that a writer that opens it next
    // waits for this run as it would have on the file it replaces.
    if (flock(out.get(), LOCK_EX | LOCK_NB) != 0) return abandon("cannot lock " + temp_path);
    struct stat saved {};
    if (fstat(out.get(), &saved) != 0) return abandon("cannot read back " + temp_path);
    if (!StillNamed(identity_)) {
      Status result = Failure("snapshot changed while saving: " + path_);
      unlinkat(folder_.get(), temp.c_str(), 0);
      return result;
    }
    if (renameat(folder_.get(), temp.c_str(), folder_.get(), name_.c_str()) != 0)
      return abandon("cannot rename " + temp_path + " to " + name_);
    // Makes the rename itself durable; the save has happened whatever this answers.
    if (Fd folder(openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder.get() >= 0)
      fsync(folder.get());
    file_ = std::move(out);
    identity_ = IdentityOf(saved);
    return Status::Ok();
  }

 private:
  static bool Fail(std::string reason, std::string* error) {
    *error = std::move(reason);
    return false;
  }
  static Status Failure(std::string reason) {
    return Status::Error(kRegistryIoError, std::move(reason));
  }

  FileIdentity IdentityNow() const {
    struct stat info {};
    return fstat(file_.get(), &info) == 0 ? IdentityOf(info) : FileIdentity{};
  }

  // Whether the name in the folder, and the path as given, still stand for the file that was
  // read, as it was read.
  bool StillNamed(const FileIdentity& expected) const {
    struct stat in_folder {};
    struct stat by_path {};
    return fstatat(folder_.get(), name_.c_str(), &in_folder, AT_SYMLINK_NOFOLLOW) == 0 &&
           IdentityOf(in_folder) == expected && stat(path_.c_str(), &by_path) == 0 &&
           expected.SameFile(by_path);
  }

  bool Read(std::string* content, std::string* error) {
    struct stat info {};
    if (fstat(file_.get(), &info) != 0) return Fail(ErrnoText(path_), error);
    if (info.st_size > kMaxSnapshotBytes)
      return Fail(path_ + ": larger than 1 GiB, too large for a registry snapshot", error);
    identity_ = IdentityOf(info);
    content->clear();
    content->reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = read(file_.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(ErrnoText(path_), error);
      if (n == 0) return true;
      content->append(buffer, static_cast<std::size_t>(n));
      if (static_cast<std::int64_t>(content->size()) > kMaxSnapshotBytes)
        return Fail(path_ + ": larger than 1 GiB, too large for a registry snapshot", error);
    }
  }

  // A new file "<name>.XXXXXX" in the folder, readable by this process only until it is done.
  Fd CreateTemporary(std::string* temp) const {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      *temp = name_ + ".";
      for (int i = 0; i < 6; ++i) temp->push_back(kLetters[random() % (sizeof kLetters - 1)]);
      Fd fd(openat(folder_.get(), temp->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                   0600));
      if (fd.get() >= 0 || errno != EEXIST) return fd;
    }
    return Fd();
  }

  std::string path_;         // as given, for messages and to check where it leads
  std::string folder_path_;  // where the file was found, for messages
  std::string name_;         // its name in that folder
  Fd folder_;
  Fd file_;  // the file read, or the last one saved; holds the lock
  FileIdentity identity_;
  bool locked_ = false;
  std::string lock_failure_;
};

// A registry read from a snapshot file, which it saves after every write its driver takes.
class SnapshotRegistry : public MemoryRegistry {
 public:
  SnapshotRegistry() {
    SetDriver([this](Node& node, const Dictionary& settings) { return Record(node, settings); });
  }
  SnapshotFile& file() { return file_; }
  std::string WriteFailureReason() const override { return last_write().message(); }

 private:
  Status Record(Node& node, const Dictionary& settings) {
    const bool kept_before = node.keeps_received_settings;
    if (Status recorded = RecordingDriver(node, settings); !recorded.ok()) return recorded;
    Status saved = file_.Save(SerializeSnapshot(*this));
    if (!saved.ok()) {
      node.received_settings.pop_back();
      node.keeps_received_settings = kept_before;
    }
    return saved;
  }

  SnapshotFile file_;
};

}  // namespace

bool ParseSnapshot(std::string_view text, MemoryRegistry* out, std::string* error) {
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
  std::optional<PropertyValue> doc = builder.TakeResult();
  Loader loader(out);
  if (!doc || !loader.Load(*doc)) {
    *error = doc ? loader.error() : "the document is empty";
    return false;
  }
  return true;
}

std::string SerializeSnapshot(const MemoryRegistry& registry) {
  std::string out;
  SnapshotWriter(&out).Document(registry);
  return out;
}

std::unique_ptr<MemoryRegistry> LoadSnapshotFile(const std::string& path, std::string* error,
                                                 SnapshotUse use) {
  auto registry = std::make_unique<SnapshotRegistry>();
  std::string content;
  if (!registry->file().Open(path, use, &content, error)) return nullptr;
  std::string reason;
  if (!ParseSnapshot(content, registry.get(), &reason)) {
    *error = path + ": " + reason;
    return nullptr;
  }
  return registry;
}

}  // namespace halvane
