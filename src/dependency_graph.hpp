// The per-instance graph of cached calls: one validation state per call, the
// edges from each call to the calls computed from it (and back), and the rules
// by which results become invalid and valid again.
//
// Plain C++ over dense integer node ids; it knows nothing of Python. The
// owner (the instance store) maps call keys to node ids and keeps the results.
// Nothing is ever removed: nodes and edges live as long as the graph.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quarrine {

enum class ValidationState : std::uint8_t {
  Valid = 0,               // the stored result may be served
  Invalid = 1,             // recompute at the next call
  PermanentlyInvalid = 2,  // never served; final
};

const char* validation_state_text(ValidationState state) noexcept;

using NodeId = std::uint32_t;
// The one id that names no node: the graph never hands it out.
inline constexpr NodeId kNoNode = UINT32_MAX;

// A small insertion-ordered set of node ids in 16 bytes. Up to three members
// are kept inline, so most sets (a fan-in or fan-out of three) never
// allocate; a fourth member moves them to a block on the heap. Membership is
// a linear scan; callers keep the scanned set the smaller one.
class NodeSet {
 public:
  NodeSet() noexcept = default;
  NodeSet(const NodeSet&) = delete;
  NodeSet& operator=(const NodeSet&) = delete;
  NodeSet(NodeSet&& other) noexcept;
  NodeSet& operator=(NodeSet&& other) noexcept;
  ~NodeSet();

  bool contains(NodeId node) const noexcept {
    for (NodeId member : *this) {
      if (member == node) {
        return true;
      }
    }
    return false;
  }
  // Appends `node`, which is not a member.
  void append(NodeId node) {
    assert(!contains(node));
    if (has_room()) {
      place(node);
    } else {
      append_to_heap(node);
    }
  }
  // Whether a member can be appended without allocating: inline while there
  // are fewer than kInline members, on the heap below its capacity (with
  // exactly kInline members, the next one moves them to the heap).
  bool has_room() const noexcept {
    return size_ < kInline || (size_ > kInline && size_ < words_[0]);
  }
  // Appends `node`, which is not a member, if that needs no allocation.
  // Returns whether it did.
  bool append_if_room(NodeId node) noexcept {
    assert(!contains(node));
    if (!has_room()) {
      return false;
    }
    place(node);
    return true;
  }
  // Takes back the last member appended.
  void remove_last() noexcept;
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const NodeId* begin() const noexcept { return size_ <= kInline ? words_ : heap(); }
  const NodeId* end() const noexcept { return begin() + size_; }

 private:
  static constexpr std::uint32_t kInline = 3;
  // On the heap, the first word holds the capacity and the other two the
  // block's address.
  NodeId* heap() const noexcept {
    NodeId* items = nullptr;
    std::memcpy(&items, &words_[1], sizeof items);
    return items;
  }
  // Appends where has_room() found room.
  void place(NodeId node) noexcept { (size_ < kInline ? words_ : heap())[size_++] = node; }
  void set_heap(NodeId* items, std::uint32_t capacity) noexcept;
  void append_to_heap(NodeId node);
  void release() noexcept;

  std::uint32_t size_ = 0;
  NodeId words_[kInline] = {};
};

class MethodDependencyGraph {
 public:
  // A new node without a state (it counts as PermanentlyInvalid) or edges.
  NodeId add_node();
  std::size_t node_count() const noexcept { return nodes_.size(); }

  ValidationState state_of(NodeId node) const noexcept {
    const std::uint8_t state = record(node).state;
    return state == kNoState ? ValidationState::PermanentlyInvalid
                             : static_cast<ValidationState>(state);
  }
  // Whether register_node has been run for the node.
  bool is_registered(NodeId node) const noexcept { return record(node).registered; }

  // Every Valid node among the node and its descendants becomes Invalid;
  // each of them is marked as changed from outside (see settle_after_call).
  void temporarily_invalidate(NodeId node);
  void permanently_invalidate(NodeId node);
  // Invalid becomes Valid; any other state, or none, is kept.
  void validate(NodeId node);

  // First call of a node: Invalid, and a child of every declared dependency.
  // `expects_parents`: the node's runs will record parents, so its edge sets
  // are made now, and recording the first one takes the inline way.
  void register_node(NodeId node, std::span<const NodeId> declared, bool expects_parents = false);
  // Makes `parent` a parent of `child`; an existing edge changes nothing.
  // Inline while both nodes have edge sets and the edge exists or both sets
  // have room, which is the common case of recording a parent.
  void add_parent_dependency(NodeId child, NodeId parent) {
    const std::uint32_t child_edges = record(child).edges;
    const std::uint32_t parent_edges = record(parent).edges;
    if (child_edges != 0 && parent_edges != 0) {
      EdgeSets& parent_sets = edges_[parent_edges - 1];
      NodeSet& children = parent_sets.children;
      NodeSet& parents = edges_[child_edges - 1].parents;
      parent_sets.last_used = run_clock_;
      // The edge is in both sets or in neither: scan the smaller one.
      if (children.size() <= parents.size() ? children.contains(child)
                                            : parents.contains(parent)) {
        return;
      }
      if (parents.has_room() && children.append_if_room(child)) {
        parents.append(parent);  // has room
        return;
      }
    }
    add_parent_dependency_growing(child, parent);
  }

  // Counts the invalidations from outside that reached the node; a call that
  // began computing at one count and settles at another used a stale input.
  std::uint32_t change_count(NodeId node) const noexcept { return record(node).changes; }

  // Where a computation of a node began: the node's change count, and the
  // graph's run clock, against which the parents that the run used are told
  // from those that only earlier runs used.
  struct RunStart {
    std::uint32_t changes = 0;
    std::uint32_t clock = 0;
    std::uint32_t epoch = 0;
  };
  RunStart begin_run(NodeId node) noexcept;

  // After a computation of `node` that began at `start` returned normally:
  // derives the node's state from the states of the parents that this run
  // used (its declared dependencies, and the parents recorded since the run
  // began; edges from earlier runs stay, but no longer hold the result back).
  // Tells whether the fresh result may be stored, that is whether the node
  // is Valid and was not invalidated from outside meanwhile, and which
  // declared dependency, if any, had never been computed (has no state),
  // which makes the node PermanentlyInvalid.
  struct Settled {
    bool keep_result = false;
    NodeId never_computed_parent = kNoNode;
  };
  Settled settle_after_call(NodeId node, const RunStart& start);

  // Every Valid node becomes Invalid; edges are kept.
  void invalidate_all();

  const NodeSet& children_of(NodeId node) const noexcept {
    const std::uint32_t edges = record(node).edges;
    return edges == 0 ? kNoEdges : edges_[edges - 1].children;
  }
  const NodeSet& parents_of(NodeId node) const noexcept {
    const std::uint32_t edges = record(node).edges;
    return edges == 0 ? kNoEdges : edges_[edges - 1].parents;
  }

  // Forgets every node (used when the owner is torn down).
  void clear() noexcept;

 private:
  // The tests' view of what the graph keeps private (tests/native/graph_inspector.hpp).
  friend struct GraphInspector;

  static constexpr std::uint8_t kNoState = 0xFF;

  // What the graph keeps of every node, in one record of 16 bytes.
  struct NodeRecord {
    std::uint32_t changes = 0;    // invalidations from outside that reached it
    std::uint32_t walk_mark = 0;  // the number of the last walk that reached it
    std::uint32_t edges = 0;      // 1 + its index in edges_, or 0 while it has no edge
    std::uint8_t state = kNoState;
    bool registered = false;
  };
  // The two directions of a node's edges and what the settle rules read of
  // them, made at its first edge: most nodes of a large cache have none.
  struct EdgeSets {
    NodeSet children;
    NodeSet parents;
    // How many of the node's parents (the first ones) are declared
    // dependencies.
    std::uint32_t declared = 0;
    // The run clock when a running call last recorded the node as a parent.
    // The clock advances at each run; when it wraps, the stamps are reset
    // and the epoch advances (a run of an older epoch counts every parent as
    // used).
    std::uint32_t last_used = 0;
  };
  static const NodeSet kNoEdges;
  static const EdgeSets kNoEdgeSets;

  NodeRecord& record(NodeId node) noexcept {
    assert(node < nodes_.size());
    return nodes_[node];
  }
  const NodeRecord& record(NodeId node) const noexcept {
    assert(node < nodes_.size());
    return nodes_[node];
  }

  // The edge sets of the node, made if it has none yet.
  EdgeSets& edge_sets(NodeId node) {
    const std::uint32_t edges = record(node).edges;
    return edges != 0 ? edges_[edges - 1] : new_edge_sets(node);
  }
  EdgeSets& new_edge_sets(NodeId node);
  // add_parent_dependency where an edge set must be made or grown.
  void add_parent_dependency_growing(NodeId child, NodeId parent);
  bool used_in_run(const EdgeSets& sets, std::size_t index, NodeId parent,
                   const RunStart& start) const noexcept;

  // Walks the node and its descendants once each, calling visit(node) in
  // walk order; no allocation once the scratch buffers have grown.
  template <class Visit>
  void walk_descendants(NodeId node, Visit&& visit);
  void invalidate_walk(NodeId node, bool from_outside);

  std::vector<NodeRecord> nodes_;
  std::vector<EdgeSets> edges_;
  std::uint32_t run_clock_ = 0;
  std::uint32_t run_epoch_ = 0;
  // Scratch space of the walks (with the nodes' walk marks).
  std::vector<NodeId> walk_stack_;
  std::uint32_t walk_number_ = 0;
};

}  // namespace quarrine
