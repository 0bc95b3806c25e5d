// Capturing the live host as a registry snapshot (--snapshot), which a later run reads in its
// place with the same listing and document.
#include "registry/snapshot.h"
#include "registry/vocabulary.h"
#include "sysfs/live_registry.h"

namespace halvane {

Status SysfsRegistry::WriteSnapshot(std::string* out) {
  MemoryRegistry copy;
  for (const auto& [name, superclass] : classes_) copy.DeclareClass(name, superclass);
  std::vector<std::pair<LiveNodes, MemoryRegistry::Node*>> stack;
  MemoryRegistry::Node* root = copy.SetRoot(kSysfsRootClass);
  stack.emplace_back(Children(*top_), root);
  while (!stack.empty()) {
    auto [nodes, parent] = std::move(stack.back());
    stack.pop_back();
    // Children are added in order before any of them is expanded, so order is kept.
    std::vector<std::pair<LiveNodes, MemoryRegistry::Node*>> expansions;
    for (const auto& n : nodes) {
      MemoryRegistry::Node* added =
          copy.AddChild(parent, std::string(ClassOf(n->level)), *Table(*n).AsDictionary());
      expansions.emplace_back(Children(*n), added);
    }
    for (auto it = expansions.rbegin(); it != expansions.rend(); ++it)
      stack.push_back(std::move(*it));
  }
  *out = SerializeSnapshot(copy);
  return Status::Ok();
}

}  // namespace halvane
