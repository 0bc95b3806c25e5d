// Capturing the live host as a registry snapshot (--snapshot), which a later run reads in its
// place with the same listing and document.
#include "base/tree_walk.h"
#include "registry/snapshot.h"
#include "sysfs/live_registry.h"

namespace halvane {
namespace {

// An entry's children as the tree walk takes them, listed when the walk reached the entry.
struct LiveCursor {
  LiveNodes nodes;
  std::size_t next = 0;
  std::shared_ptr<LiveNode> Next() { return next < nodes.size() ? nodes[next++] : nullptr; }
};

}  // namespace

// Each entry is written as the walk reaches it, its children listed then (the writer says at once
// whether any follow), so that the capture holds no more of the host than a listing does: one
// target's logical units at a time, whatever the number of them.
Status SysfsRegistry::StreamSnapshot(SnapshotSink& sink) {
  SnapshotWriter writer(sink);
  writer.Begin(classes_, true, sink.CaptureNote());
  LiveNodes listed;  // the children of the entry entered last
  VisitTree(
      top_, [&listed](const std::shared_ptr<LiveNode>&) { return LiveCursor{std::move(listed)}; },
      [&](const std::shared_ptr<LiveNode>& node, std::size_t depth, std::size_t index) {
        listed = Children(*node);
        writer.Enter(SnapshotEntry{ClassOf(node->level), Table(*node)}, depth, index,
                     !listed.empty());
        if (writer.failed()) return Visit::kStop;
        return listed.empty() ? Visit::kSkipChildren : Visit::kChildren;
      },
      [&writer](const std::shared_ptr<LiveNode>&, std::size_t depth) { writer.Leave(depth); });
  return writer.Finish();
}

}  // namespace halvane
