#include "registry/memory_registry.h"

#include <map>
#include <utility>

#include "registry/json_text.h"

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

}  // namespace

MemoryRegistry::MemoryRegistry() = default;

MemoryRegistry::~MemoryRegistry() {
  // Tear the tree down level by level so that a very deep tree cannot exhaust the stack through
  // nested destructors.
  std::vector<std::shared_ptr<Node>> pending;
  if (root_) pending.push_back(std::move(root_));
  while (!pending.empty()) {
    std::shared_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
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
  if (node.write_status != 0) return node.write_status;
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

const std::vector<MemoryRegistry::Node*>& MemoryRegistry::Order() {
  if (order_valid_) return order_;
  order_.clear();
  // Depth-first pre-order: an entry, then its children in order.
  std::vector<Node*> stack;
  if (root_) stack.push_back(root_.get());
  while (!stack.empty()) {
    Node* node = stack.back();
    stack.pop_back();
    order_.push_back(node);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.push_back(it->get());
    }
  }
  order_valid_ = true;
  return order_;
}

RegistryEntry MemoryRegistry::MatchFirstService(std::string_view class_name) {
  for (Node* node : Order()) {
    if (ClassDerivesFrom(classes_, node->class_name, class_name)) return EntryFor(node);
  }
  return RegistryEntry();
}

Status MemoryRegistry::MatchServices(std::string_view class_name, RegistryIterator* out) {
  // Conformance is decided once per distinct class, not once per entry.
  std::map<std::string_view, bool, std::less<>> verdicts;
  std::vector<std::shared_ptr<Node>> matches;
  for (Node* node : Order()) {
    auto [it, fresh] = verdicts.try_emplace(node->class_name, false);
    if (fresh) it->second = ClassDerivesFrom(classes_, node->class_name, class_name);
    if (it->second) matches.push_back(node->shared_from_this());
  }
  *out = RegistryIterator(std::make_shared<VectorIterator>(std::move(matches)));
  return Status::Ok();
}

Status MemoryRegistry::ChildIterator(const RegistryEntry& entry, RegistryIterator* out) {
  Node* node = NodeOf(entry);
  if (node == nullptr) return kRegistryNoDevice;
  *out = RegistryIterator(std::make_shared<ChildrenIterator>(node->shared_from_this()));
  return Status::Ok();
}

RegistryEntry MemoryRegistry::ParentOf(const RegistryEntry& entry) {
  const Node* node = NodeOf(entry);
  return node && node->parent ? EntryFor(node->parent) : RegistryEntry();
}

std::optional<PropertyValue> MemoryRegistry::ReadProperty(const RegistryEntry& entry,
                                                          std::string_view key) {
  const Node* node = NodeOf(entry);
  if (node == nullptr) return std::nullopt;
  const PropertyValue* value = FindMember(*node->properties.AsDictionary(), key);
  return value ? std::optional<PropertyValue>(*value) : std::nullopt;
}

Status MemoryRegistry::ReadAllProperties(const RegistryEntry& entry, PropertyValue* out) {
  const Node* node = NodeOf(entry);
  if (node == nullptr) return kRegistryNoDevice;
  *out = node->properties;
  return Status::Ok();
}

bool MemoryRegistry::ConformsTo(const RegistryEntry& entry, std::string_view class_name) {
  const Node* node = NodeOf(entry);
  return node != nullptr && ClassDerivesFrom(classes_, node->class_name, class_name);
}

Status MemoryRegistry::DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                     std::string* plan) {
  const Node* node = NodeOf(entry);
  if (node == nullptr) return kRegistryNoDevice;
  if (node->write_status != 0) return node->write_status;
  *plan = "the entry of class " + node->class_name + " receives " + JsonLine(settings) + "\n";
  return Status::Ok();
}

Status MemoryRegistry::WriteProperties(const RegistryEntry& entry, const Dictionary& settings) {
  Node* node = NodeOf(entry);
  if (node == nullptr) return kRegistryNoDevice;
  return driver_(*node, settings);
}

}  // namespace halvane
