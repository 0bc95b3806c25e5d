#include "support/memory_registry.h"

#include <algorithm>
#include <map>
#include <utility>

#include "base/tree_walk.h"
#include "registry/snapshot.h"

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

// The children of a node as the tree walk takes them.
template <class Node>
struct ChildCursor {
  Node* node;
  std::size_t next = 0;
  Node* Next() { return next < node->children.size() ? node->children[next++].get() : nullptr; }
};
template <class Node>
ChildCursor<Node> ChildrenOf(Node* node) {
  return ChildCursor<Node>{node};
}

// Text already in memory, handed over in pieces of at most piece bytes.
class PiecesOfText : public TextSource {
 public:
  PiecesOfText(std::string_view text, std::size_t piece)
      : text_(text), left_(text), piece_(piece) {}
  StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
    const std::size_t got = left_.copy(buffer, std::min(size, piece_));
    left_.remove_prefix(got);
    return got;
  }
  Status Rewind() override {
    left_ = text_;
    return Status::Ok();
  }

 private:
  std::string_view text_;
  std::string_view left_;
  std::size_t piece_;
};

Status NotOurs() { return Status::Error(kNoDevice, "the entry is not one of this registry's"); }

}  // namespace

MemoryRegistry::MemoryRegistry() = default;

MemoryRegistry::~MemoryRegistry() {
  // Each node lets go of its children once theirs are gone, so that a very deep tree cannot
  // exhaust the stack through nested destructors.
  if (root_) {
    VisitTree(
        root_.get(), ChildrenOf<Node>,
        [](Node*, std::size_t, std::size_t) { return Visit::kChildren; },
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

// Registry order: an entry, then its children in order.
const std::vector<MemoryRegistry::Node*>& MemoryRegistry::Order() {
  if (order_valid_) return order_;
  order_.clear();
  if (root_) {
    VisitTree(
        root_.get(), ChildrenOf<Node>,
        [this](Node* node, std::size_t, std::size_t) {
          order_.push_back(node);
          return Visit::kChildren;
        },
        NoLeave());
  }
  order_valid_ = true;
  return order_;
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
  return RegistryIterator(std::make_shared<VectorIterator>(node->children));
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

Status LoadSnapshotText(TextSource& source, MemoryRegistry& registry) {
  using Entry = SnapshotTree::Entry;
  StatusOr<SnapshotContent> content = ParseSnapshotText(source);
  if (!content.ok()) return content.status();
  for (const auto& [name, super] : content->classes) registry.DeclareClass(name, super);
  const SnapshotTree& tree = *content->tree;
  std::vector<MemoryRegistry::Node*> nodes(tree.entries().size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Entry& entry = tree.entries()[i];
    std::string class_name = *tree.ScalarAt(entry.class_name)->AsString();
    Dictionary properties = tree.Members(entry.properties);
    MemoryRegistry::Node* node =
        entry.parent == SnapshotTree::kNoEntry
            ? registry.SetRoot(std::move(class_name), std::move(properties))
            : registry.AddChild(nodes[entry.parent], std::move(class_name), std::move(properties));
    node->write_status = entry.write_status;
    if (entry.received != 0) {
      node->keeps_received_settings = true;
      node->received_settings = tree.received_settings()[entry.received - 1];
    }
    nodes[i] = node;
  }
  return Status::Ok();
}

StatusOr<std::unique_ptr<MemoryRegistry>> ParseSnapshot(std::string_view text, std::size_t piece) {
  auto registry = std::make_unique<MemoryRegistry>();
  PiecesOfText whole(text, piece);
  if (Status loaded = LoadSnapshotText(whole, *registry); !loaded.ok()) return loaded;
  return registry;
}

std::string SerializeSnapshot(const MemoryRegistry& registry) {
  StringSink whole;
  SnapshotWriter writer(whole);
  writer.Begin(registry.classes(), registry.root() != nullptr);
  if (registry.root() != nullptr) {
    VisitTree(
        registry.root(), ChildrenOf<const MemoryRegistry::Node>,
        [&writer](const MemoryRegistry::Node* node, std::size_t depth, std::size_t index) {
          writer.Enter(
              SnapshotEntry{node->class_name, *node->properties.AsDictionary(), node->write_status,
                            node->keeps_received_settings ? &node->received_settings : nullptr},
              depth, index, !node->children.empty());
          return node->children.empty() ? Visit::kSkipChildren : Visit::kChildren;
        },
        [&writer](const MemoryRegistry::Node*, std::size_t depth) { writer.Leave(depth); });
  }
  (void)writer.Finish();  // a text in memory takes every piece
  return std::move(whole.text);
}

}  // namespace halvane
