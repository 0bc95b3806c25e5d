// Capturing the live host as a registry snapshot (--snapshot), which a later run reads in its
// place with the same listing and document.
#include "base/tree_walk.h"
#include "registry/snapshot.h"
#include "registry/vocabulary.h"
#include "sysfs/live_registry.h"

namespace halvane {
namespace {

// An entry's children as the tree walk takes them, listed when the walk reaches the entry.
struct LiveCursor {
  LiveNodes nodes;
  std::size_t next = 0;
  std::shared_ptr<LiveNode> Next() { return next < nodes.size() ? nodes[next++] : nullptr; }
};

}  // namespace

StatusOr<std::string> SysfsRegistry::WriteSnapshot() {
  MemoryRegistry copy;
  for (const auto& [name, superclass] : classes_) copy.DeclareClass(name, superclass);
  // The copy of each entry on the walk's way down, by depth.
  std::vector<MemoryRegistry::Node*> copies;
  VisitTree(
      top_, [this](const std::shared_ptr<LiveNode>& node) { return LiveCursor{Children(*node)}; },
      [&](const std::shared_ptr<LiveNode>& node, std::size_t depth, std::size_t) {
        copies.resize(depth + 1);
        copies[depth] = depth == 0
                            ? copy.SetRoot(kSysfsRootClass)
                            : copy.AddChild(copies[depth - 1], std::string(ClassOf(node->level)),
                                            *Table(*node).AsDictionary());
        return Visit::kChildren;
      },
      NoLeave());
  return SerializeSnapshot(copy);
}

}  // namespace halvane
