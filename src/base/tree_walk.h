// The one walk of a tree: depth first, each node before its children and the children in order,
// with an explicit stack, so that how deep a tree may go is decided by its owner's limits, never
// by the call stack. A registry's search of descendants, a snapshot's save and a capture of the
// live tree walk this way; the live registry's service match walks on its own, since it lists
// each level only when the match reaches it and goes no deeper than the classes asked for.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace halvane {

// What a visit says of the node just entered.
enum class Visit {
  kChildren,      // walk its children next
  kSkipChildren,  // go on with its next sibling
  kStop,          // end the walk here
};

// Walks the tree below root. children_of(node) gives a cursor whose Next() yields each child in
// turn, then a node that tests false; it is asked for only when the node's children are walked.
// enter(node, depth, index) is called for each node (the root at depth 0, index 0; index counts
// the node's earlier siblings) and answers a Visit; leave(node, depth) once the node's children
// are done, or at once when they are skipped, unless the walk was stopped.
template <typename Node, typename ChildrenOf, typename Enter, typename Leave>
void VisitTree(Node root, ChildrenOf&& children_of, Enter&& enter, Leave&& leave) {
  using Cursor = decltype(children_of(root));
  struct Open {
    Node node;
    Cursor children;
    std::size_t yielded;
  };
  std::vector<Open> open;
  const auto visit = [&](Node node, std::size_t index) {
    const std::size_t depth = open.size();
    const Visit next = enter(node, depth, index);
    if (next == Visit::kChildren) {
      Cursor children = children_of(node);
      open.push_back(Open{std::move(node), std::move(children), 0});
    } else if (next == Visit::kSkipChildren) {
      leave(node, depth);
    }
    return next != Visit::kStop;
  };
  if (!visit(std::move(root), 0)) return;
  while (!open.empty()) {
    Open& top = open.back();
    Node child = top.children.Next();
    if (!child) {
      Node done = std::move(top.node);
      open.pop_back();
      leave(done, open.size());
      continue;
    }
    if (!visit(std::move(child), top.yielded++)) return;
  }
}

// For walks with nothing to do on leaving a node.
struct NoLeave {
  template <typename Node>
  void operator()(const Node&, std::size_t) const {}
};

}  // namespace halvane
