#include "registry/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace halvane {
namespace {

using Json = nlohmann::json;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    i += 2;
  }
  *out = std::move(bytes);
  return true;
}

std::string DataText(const Data& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text.push_back(' ');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

class Loader {
 public:
  explicit Loader(MemoryRegistry* out) : out_(out) {}

  bool Load(const Json& doc) {
    if (!doc.is_object()) return Fail("the document", "is not a JSON object");
    for (const auto& [key, value] : doc.items()) {
      if (key != "classes" && key != "root")
        return Fail("the document", "has an unknown key \"" + key + "\"");
    }
    if (auto it = doc.find("classes"); it != doc.end() && !LoadClasses(*it)) return false;
    auto root = doc.find("root");
    if (root == doc.end()) return Fail("the document", "has no \"root\" entry");
    return LoadEntries(*root);
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& where, const std::string& what) {
    error_ = where + " " + what;
    return false;
  }

  bool LoadClasses(const Json& classes) {
    if (!classes.is_object()) return Fail("\"classes\"", "is not an object");
    for (const auto& [name, super] : classes.items()) {
      if (!super.is_string()) {
        return Fail("classes." + name, "must name its superclass as a string");
      }
      out_->DeclareClass(name, super.get<std::string>());
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
  bool LoadEntries(const Json& root) {
    struct Pending {
      const Json* json;
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
      MemoryRegistry::Node* node = LoadEntry(*p.json, p.parent, p.path);
      if (node == nullptr) return false;
      if (auto it = p.json->find("children"); it != p.json->end()) {
        if (!it->is_array()) return Fail(p.path + ".children", "is not an array");
        for (std::size_t i = it->size(); i-- > 0;) {
          stack.push_back(
              {&(*it)[i], node, p.path + ".children[" + std::to_string(i) + "]", p.depth + 1});
        }
      }
    }
    return true;
  }

  MemoryRegistry::Node* LoadEntry(const Json& json, MemoryRegistry::Node* parent,
                                  const std::string& path) {
    if (!json.is_object()) {
      Fail(path, "is not an object");
      return nullptr;
    }
    for (const auto& [key, value] : json.items()) {
      if (key != "class" && key != "properties" && key != "children" && key != "write-status" &&
          key != "received-settings") {
        Fail(path, "has an unknown key \"" + key + "\"");
        return nullptr;
      }
    }
    auto cls = json.find("class");
    if (cls == json.end() || !cls->is_string()) {
      Fail(path, "has no \"class\" string");
      return nullptr;
    }
    Dictionary properties;
    if (auto it = json.find("properties"); it != json.end()) {
      if (!it->is_object()) {
        Fail(path + ".properties", "is not an object");
        return nullptr;
      }
      if (!LoadMembers(*it, path + ".properties", 1, &properties)) return nullptr;
    }
    MemoryRegistry::Node* node =
        parent ? out_->AddChild(parent, cls->get<std::string>(), std::move(properties))
               : out_->SetRoot(cls->get<std::string>(), std::move(properties));
    if (auto it = json.find("write-status"); it != json.end()) {
      if (!LoadStatus(*it, &node->write_status)) {
        Fail(path + ".write-status",
             "is not a 32-bit status (an integer or \"0x\" and hex digits)");
        return nullptr;
      }
    }
    if (auto it = json.find("received-settings"); it != json.end()) {
      if (!it->is_array()) {
        Fail(path + ".received-settings", "is not an array");
        return nullptr;
      }
      node->keeps_received_settings = true;
      for (std::size_t i = 0; i < it->size(); ++i) {
        const std::string where = path + ".received-settings[" + std::to_string(i) + "]";
        const Json& item = (*it)[i];
        Dictionary settings;
        if (!item.is_object()) {
          Fail(where, "is not an object");
          return nullptr;
        }
        if (!LoadMembers(item, where, 1, &settings)) return nullptr;
        node->received_settings.push_back(std::move(settings));
      }
    }
    return node;
  }

  static bool LoadStatus(const Json& json, RegistryStatus* out) {
    if (json.is_number_integer()) {
      if (json.is_number_unsigned()) {
        const auto v = json.get<std::uint64_t>();
        if (v > UINT32_MAX) return false;
        *out = static_cast<RegistryStatus>(v);
        return true;
      }
      const auto v = json.get<std::int64_t>();
      if (v < INT32_MIN || v > static_cast<std::int64_t>(UINT32_MAX)) return false;
      *out = static_cast<RegistryStatus>(v);
      return true;
    }
    if (!json.is_string()) return false;
    const std::string& text = json.get_ref<const std::string&>();
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' ||
        (text[1] != 'x' && text[1] != 'X')) {
      return false;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
      const int d = HexValue(text[i]);
      if (d < 0) return false;
      value = value * 16 + static_cast<std::uint32_t>(d);
    }
    *out = value;
    return true;
  }

  bool LoadMembers(const Json& object, const std::string& path, int depth, Dictionary* out) {
    for (const auto& [key, item] : object.items()) {
      std::optional<PropertyValue> value = LoadValue(item, path + "." + key, depth + 1);
      if (!value) return false;
      out->emplace(key, std::move(*value));
    }
    return true;
  }

  std::optional<PropertyValue> LoadValue(const Json& json, const std::string& path, int depth) {
    if (depth > kMaxSnapshotDepth) {
      Fail(path, "is nested deeper than " + std::to_string(kMaxSnapshotDepth) + " levels");
      return std::nullopt;
    }
    switch (json.type()) {
      case Json::value_t::string:
        return PropertyValue::String(json.get<std::string>());
      case Json::value_t::number_integer:
        return PropertyValue::OfNumber(Number::FromInt64(json.get<std::int64_t>()));
      case Json::value_t::number_unsigned:
        return PropertyValue::OfNumber(Number::FromUInt64(json.get<std::uint64_t>()));
      case Json::value_t::number_float:
        return PropertyValue::OfNumber(Number::FromDouble(json.get<double>()));
      case Json::value_t::boolean:
        return PropertyValue::Boolean(json.get<bool>());
      case Json::value_t::array: {
        Array items;
        items.reserve(json.size());
        for (std::size_t i = 0; i < json.size(); ++i) {
          auto item = LoadValue(json[i], path + "[" + std::to_string(i) + "]", depth + 1);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return PropertyValue::OfArray(std::move(items));
      }
      case Json::value_t::object: {
        if (json.size() == 1 && json.contains("$data")) {
          const Json& text = json["$data"];
          Data bytes;
          if (!text.is_string() || !ParseDataText(text.get<std::string>(), &bytes)) {
            Fail(path, "has a \"$data\" that is not pairs of hexadecimal digits");
            return std::nullopt;
          }
          return PropertyValue::OfData(std::move(bytes));
        }
        Dictionary members;
        if (!LoadMembers(json, path, depth, &members)) return std::nullopt;
        return PropertyValue::OfDictionary(std::move(members));
      }
      case Json::value_t::null:
        Fail(path, "is null");
        return std::nullopt;
      default:
        Fail(path, "is not a value a registry can hold");
        return std::nullopt;
    }
  }

  MemoryRegistry* out_;
  std::string error_;
};

Json ValueToJson(const PropertyValue& value, int depth);

Json MembersToJson(const Dictionary& members, int depth) {
  Json object = Json::object();
  for (const auto& [key, item] : members) object[key] = ValueToJson(item, depth + 1);
  return object;
}

Json ValueToJson(const PropertyValue& value, int depth) {
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
      for (const PropertyValue& item : *value.AsArray())
        array.push_back(ValueToJson(item, depth + 1));
      return array;
    }
    case PropertyValue::Kind::kDictionary:
      return MembersToJson(*value.AsDictionary(), depth);
  }
  return Json();
}

std::string StatusText(RegistryStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

// Builds the entry objects bottom-up from a pre-order list, so that depth never reaches the
// call stack.
Json EntriesToJson(const MemoryRegistry::Node* root) {
  std::vector<const MemoryRegistry::Node*> order;
  std::vector<const MemoryRegistry::Node*> stack{root};
  while (!stack.empty()) {
    const auto* node = stack.back();
    stack.pop_back();
    order.push_back(node);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
      stack.push_back(it->get());
  }
  std::map<const MemoryRegistry::Node*, Json> done;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const MemoryRegistry::Node* node = *it;
    Json entry = Json::object();
    entry["class"] = node->class_name;
    const Dictionary& props = *node->properties.AsDictionary();
    if (!props.empty()) entry["properties"] = MembersToJson(props, 1);
    if (!node->children.empty()) {
      Json children = Json::array();
      for (const auto& child : node->children) {
        auto found = done.find(child.get());
        children.push_back(std::move(found->second));
        done.erase(found);
      }
      entry["children"] = std::move(children);
    }
    if (node->write_status != kRegistrySuccess)
      entry["write-status"] = StatusText(node->write_status);
    if (node->keeps_received_settings) {
      Json received = Json::array();
      for (const Dictionary& settings : node->received_settings)
        received.push_back(MembersToJson(settings, 1));
      entry["received-settings"] = std::move(received);
    }
    done.emplace(node, std::move(entry));
  }
  return std::move(done.at(root));
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Builds the document as the library's own DOM builder does, and refuses a key given twice in
// one object: a file that says two things about one key is not a registry anyone meant to write.
// (The library's filtering parser would do the same check, but rescans the enclosing array at the
// end of every object, which is quadratic in the number of entries.)
class DuplicateKeyCheckingBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;
  explicit DuplicateKeyCheckingBuilder(Json& doc) : Base(doc, true) {}

  bool start_object(std::size_t size) {
    open_objects_.emplace_back();
    return Base::start_object(size);
  }
  bool end_object() {
    open_objects_.pop_back();
    return Base::end_object();
  }
  bool key(std::string& key) {
    if (duplicate_.empty() && !open_objects_.back().insert(key).second) duplicate_ = key;
    return Base::key(key);
  }
  const std::string& duplicate() const { return duplicate_; }

 private:
  std::vector<std::set<std::string>> open_objects_;
  std::string duplicate_;
};

}  // namespace

bool ParseSnapshot(std::string_view text, MemoryRegistry* out, std::string* error) {
  Json doc;
  DuplicateKeyCheckingBuilder builder(doc);
  try {
    Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const Json::parse_error& e) {
    // The byte offset of the fault becomes a line and a column, counted from 1.
    std::size_t line = 1;
    std::size_t column = 1;
    const std::size_t end = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
    for (std::size_t i = 0; i < end; ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    std::string what = e.what();
    const std::size_t colon = what.find(": ", what.find("parse error"));
    std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
    *error = "syntax error at line " + std::to_string(line) + ", column " + std::to_string(column) +
             ": " + reason;
    return false;
  } catch (const Json::exception& e) {
    // A number too large for any numeric type, and whatever else the parser cannot represent.
    std::string what = e.what();
    const std::size_t bracket = what.find("] ");
    *error =
        "unreadable value: " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
    return false;
  }
  if (!builder.duplicate().empty()) {
    *error = "the key \"" + builder.duplicate() + "\" appears twice in one object";
    return false;
  }
  Loader loader(out);
  if (!loader.Load(doc)) {
    *error = loader.error();
    return false;
  }
  return true;
}

std::string SerializeSnapshot(const MemoryRegistry& registry) {
  Json doc = Json::object();
  if (!registry.classes().empty()) {
    Json classes = Json::object();
    for (const auto& [name, super] : registry.classes()) classes[name] = super;
    doc["classes"] = std::move(classes);
  }
  if (registry.root() != nullptr) doc["root"] = EntriesToJson(registry.root());
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
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
