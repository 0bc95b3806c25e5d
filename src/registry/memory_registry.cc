#include "registry/memory_registry.h"

#include <map>
#include <utility>

#include "base/tree_walk.h"

namespace halvane {
namespace {

class VectorIterator : public RegistryIterator::Impl {
 public:
  explicit VectorIterator(std::vector<std::shared_ptr<MemoryRegistry::Node>> items)
      : items_(std::move(items)) {}
  RegistryEntry Next() override {
    if (next_ >= items_.size()) return RegistryEntry();
    return RegistryEntry(items_[next_++]);
  }

 private:
  std::vector<std::shared_ptr<MemoryRegistry::Node>> items_;
  std::size_t next_ = 0;
};

// Walks a node's children without copying them: the tree does not change while handles to it
// exist, and the iterator keeps its node alive.
class ChildrenIterator : public RegistryIterator::Impl {
 public:
  explicit ChildrenIterator(std::shared_ptr<MemoryRegistry::Node> node) : node_(std::move(node)) {}
  RegistryEntry Next() override {
    if (next_ >= node_->children.size()) return RegistryEntry();
    return RegistryEntry(node_->children[next_++]);
  }

 private:
  std::shared_ptr<MemoryRegistry::Node> node_;
  std::size_t next_ = 0;
};

// The children of a node as the tree walk takes them.
struct ChildCursor {
  MemoryRegistry::Node* node;
  std::size_t next = 0;
  MemoryRegistry::Node* Next() {
    return next < node->children.size() ? node->children[next++].get() : nullptr;
  }
};
ChildCursor ChildrenOf(MemoryRegistry::Node* node) { return ChildCursor{node}; }

Status NotOurs() { return Status::Error(kNoDevice, "the entry is not one of this registry's"); }

// A Dictionary of texts and integers (what settings are made of) as one line of JSON:
// {"Speed": "Automatic", "HardLoopID": 30}, in key order; other values show as null.
std::string JsonLine(const Dictionary& members) {
  std::string line = "{";
  for (const auto& [key, value] : members) {
    if (line.size() > 1) line += ", ";
    AppendJsonString(line, key);
    line += ": ";
    if (const std::string* text = value.AsString()) {
      AppendJsonString(line, *text);
    } else if (const auto number = value.AsInt64()) {
      line += std::to_string(*number);
    } else {
      line += "null";
    }
  }
  return line + "}";
}

}  // namespace

MemoryRegistry::MemoryRegistry() = default;

MemoryRegistry::~MemoryRegistry() {
  // Each node lets go of its children once theirs are gone, so that a very deep tree cannot
  // exhaust the stack through nested destructors.
  if (root_) {
    VisitTree(
        root_.get(), ChildrenOf, [](Node*, std::size_t, std::size_t) { return Visit::kChildren; },
        [](Node* node, std::size_t) { node->children.clear(); });
  }
}

MemoryRegistry::Node* MemoryRegistry::SetRoot(std::string class_name, Dictionary properties) {
  root_ = std::make_shared<Node>();
  root_->class_name = std::move(class_name);
  root_->properties = PropertyValue::OfDictionary(std::move(properties));
  order_valid_ = false;
  return root_.get();
}

MemoryRegistry::Node* MemoryRegistry::AddChild(Node* parent, std::string class_name,
                                               Dictionary properties) {
  auto child = std::make_shared<Node>();
  child->class_name = std::move(class_name);
  child->properties = PropertyValue::OfDictionary(std::move(properties));
  child->parent = parent;
  parent->children.push_back(child);
  order_valid_ = false;
  return child.get();
}

void MemoryRegistry::DeclareClass(std::string class_name, std::string superclass) {
  classes_[std::move(class_name)] = std::move(superclass);
}

Status MemoryRegistry::RecordingDriver(Node& node, const Dictionary& settings) {
  if (node.write_status != 0) return Status::Answered(node.write_status);
  node.keeps_received_settings = true;
  node.received_settings.push_back(settings);
  return Status::Ok();
}

MemoryRegistry::Node* MemoryRegistry::NodeOf(const RegistryEntry& entry) {
  return dynamic_cast<Node*>(entry.impl());
}

bool ClassDerivesFrom(const ClassTable& table, std::string_view class_name,
                      std::string_view wanted) {
  std::string_view current = class_name;
  for (std::size_t steps = 0; steps <= table.size(); ++steps) {
    if (current == wanted) return true;
    auto it = table.find(current);
    if (it == table.end()) return false;
    current = it->second;
  }
  return false;
}

// Registry order: an entry, then its children in order.
const std::vector<MemoryRegistry::Node*>& MemoryRegistry::Order() {
  if (order_valid_) return order_;
  order_.clear();
  if (root_) {
    VisitTree(
        root_.get(), ChildrenOf,
        [this](Node* node, std::size_t, std::size_t) {
          order_.push_back(node);
          return Visit::kChildren;
        },
        NoLeave());
  }
  order_valid_ = true;
  return order_;
}

StatusOr<RegistryEntry> MemoryRegistry::MatchFirstService(std::string_view class_name) {
  for (Node* node : Order()) {
    if (ClassDerivesFrom(classes_, node->class_name, class_name)) return EntryFor(node);
  }
  return RegistryEntry();
}

StatusOr<RegistryIterator> MemoryRegistry::MatchServices(std::string_view class_name) {
  // Conformance is decided once per distinct class, not once per entry.
  std::map<std::string_view, bool, std::less<>> verdicts;
  std::vector<std::shared_ptr<Node>> matches;
  for (Node* node : Order()) {
    auto [it, fresh] = verdicts.try_emplace(node->class_name, false);
    if (fresh) it->second = ClassDerivesFrom(classes_, node->class_name, class_name);
    if (it->second) matches.push_back(node->shared_from_this());
  }
  return RegistryIterator(std::make_shared<VectorIterator>(std::move(matches)));
}

StatusOr<RegistryIterator> MemoryRegistry::ChildIterator(const RegistryEntry& entry) {
  Node* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return RegistryIterator(std::make_shared<ChildrenIterator>(node->shared_from_this()));
}

RegistryEntry MemoryRegistry::ParentOf(const RegistryEntry& entry) {
  const Node* node = NodeOf(entry);
  return node && node->parent ? EntryFor(node->parent) : RegistryEntry();
}

StatusOr<std::optional<PropertyValue>> MemoryRegistry::ReadProperty(const RegistryEntry& entry,
                                                                    std::string_view key) {
  const Node* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return MemberValue(*node->properties.AsDictionary(), key);
}

bool MemoryRegistry::ConformsTo(const RegistryEntry& entry, std::string_view class_name) {
  const Node* node = NodeOf(entry);
  return node != nullptr && ClassDerivesFrom(classes_, node->class_name, class_name);
}

StatusOr<std::string> DescribeReceipt(std::string_view port_name, StatusCode write_status,
                                      const Dictionary& settings) {
  if (write_status != 0) return Status::Answered(write_status);
  return "port " + std::string(port_name) + " receives " + JsonLine(settings) + "\n";
}

StatusOr<std::string> MemoryRegistry::DescribeWrite(const RegistryEntry& entry,
                                                    const Dictionary& settings,
                                                    std::string_view port_name) {
  const Node* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return DescribeReceipt(port_name, node->write_status, settings);
}

Status MemoryRegistry::WriteProperties(const RegistryEntry& entry, const Dictionary& settings) {
  Node* node = NodeOf(entry);
  if (node == nullptr) return NotOurs();
  return driver_(*node, settings);
}

}  // namespace halvane
