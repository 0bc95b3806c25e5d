// A registry held in memory, for tests and fuzzers: a tree of entries in registry order and a table
// of classes, built directly or from a snapshot text; and the snapshot text of one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/device_registry.h"
#include "registry/snapshot_parser.h"

namespace halvane {

class MemoryRegistry : public DeviceRegistry {
 public:
  struct Node : RegistryEntry::Impl, std::enable_shared_from_this<Node> {
    std::string class_name;
    PropertyValue properties = PropertyValue::OfDictionary({});  // always a Dictionary
    std::vector<std::shared_ptr<Node>> children;
    Node* parent = nullptr;
    // What the driver behind this entry answers to a settings write, and what it has taken.
    StatusCode write_status = 0;
    bool keeps_received_settings = false;
    std::vector<Dictionary> received_settings;
  };

  // What WriteProperties does: the behaviour of the driver behind the entry.
  using Driver = std::function<Status(Node& node, const Dictionary& settings)>;

  MemoryRegistry();
  ~MemoryRegistry() override;

  // Building. The root takes part in matching like any other entry.
  Node* SetRoot(std::string class_name, Dictionary properties = {});
  Node* AddChild(Node* parent, std::string class_name, Dictionary properties = {});
  // Declares that class_name derives directly from superclass.
  void DeclareClass(std::string class_name, std::string superclass);

  // Replaces the default driver, which answers the entry's write_status when it is not 0 and
  // otherwise records the settings in received_settings.
  void SetDriver(Driver driver) { driver_ = std::move(driver); }
  static Status RecordingDriver(Node& node, const Dictionary& settings);

  const Node* root() const { return root_.get(); }
  const ClassTable& classes() const { return classes_; }
  // The node behind a handle that this registry made, or nullptr; and a handle to a node.
  static Node* NodeOf(const RegistryEntry& entry);
  static RegistryEntry EntryFor(Node* node) { return RegistryEntry(node->shared_from_this()); }

  StatusOr<RegistryIterator> MatchServices(std::string_view class_name) override;
  StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) override;
  RegistryEntry ParentOf(const RegistryEntry& entry) override;
  StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                      std::string_view key) override;
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override;
  Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override;
  // The entry's write status when it is not 0; otherwise the settings the port would receive.
  StatusOr<std::string> DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                      std::string_view port_name) override;

 private:
  const std::vector<Node*>& Order();

  std::shared_ptr<Node> root_;
  ClassTable classes_;
  std::vector<Node*> order_;
  bool order_valid_ = false;
  Driver driver_ = &MemoryRegistry::RecordingDriver;
};

// The registry a snapshot text holds, read in pieces of at most piece bytes. A refusal says why and
// names the place of the fault ("line 3, column 7", or a path such as root.children[1].properties),
// but not the file.
StatusOr<std::unique_ptr<MemoryRegistry>> ParseSnapshot(std::string_view text,
                                                        std::size_t piece = SIZE_MAX);

// The snapshot text of source added to registry, which must be empty.
Status LoadSnapshotText(TextSource& source, MemoryRegistry& registry);

// The snapshot text of a registry, in the layout a save writes, so that parsing it again gives the
// same registry.
std::string SerializeSnapshot(const MemoryRegistry& registry);

}  // namespace halvane
