// The method dependency graph: states, edges in both directions, and the
// invalidation and settle rules. See dependency_graph.hpp.
#include "dependency_graph.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quarrine {

const char* validation_state_text(ValidationState state) noexcept {
  switch (state) {
    case ValidationState::Valid:
      return "valid";
    case ValidationState::Invalid:
      return "invalid";
    case ValidationState::PermanentlyInvalid:
      break;
  }
  return "permanently invalid";
}

// ---------------------------------------------------------------- NodeSet

void NodeSet::set_heap(NodeId* items, std::uint32_t capacity) noexcept {
  words_[0] = capacity;
  std::memcpy(&words_[1], &items, sizeof items);
}

void NodeSet::release() noexcept {
  if (size_ > kInline) {
    std::free(heap());
  }
}

NodeSet::NodeSet(NodeSet&& other) noexcept : size_(std::exchange(other.size_, 0)) {
  std::memcpy(words_, other.words_, sizeof words_);
}

NodeSet& NodeSet::operator=(NodeSet&& other) noexcept {
  if (this != &other) {
    release();
    size_ = std::exchange(other.size_, 0);
    std::memcpy(words_, other.words_, sizeof words_);
  }
  return *this;
}

NodeSet::~NodeSet() { release(); }

void NodeSet::append_to_heap(NodeId node) {
  static_assert(sizeof(NodeId*) == 2 * sizeof(NodeId), "an address fills two words");
  if (size_ == kInline) {
    auto* items = static_cast<NodeId*>(std::malloc(sizeof(NodeId) * 2 * kInline));
    if (items == nullptr) {
      throw std::bad_alloc();
    }
    std::memcpy(items, words_, sizeof(NodeId) * kInline);
    set_heap(items, 2 * kInline);
  } else if (size_ == words_[0]) {
    const std::uint32_t capacity = words_[0] * 2;
    void* grown = std::realloc(heap(), sizeof(NodeId) * capacity);
    if (grown == nullptr) {
      throw std::bad_alloc();
    }
    set_heap(static_cast<NodeId*>(grown), capacity);
  }
  heap()[size_++] = node;
}

void NodeSet::remove_last() noexcept {
  if (size_ == kInline + 1) {
    // Back inline: the first three members return to the words.
    NodeId* items = heap();
    std::memcpy(words_, items, sizeof(NodeId) * kInline);
    std::free(items);
  }
  --size_;
}

// ------------------------------------------------- MethodDependencyGraph

const NodeSet MethodDependencyGraph::kNoEdges;
const MethodDependencyGraph::EdgeSets MethodDependencyGraph::kNoEdgeSets;

NodeId MethodDependencyGraph::add_node() {
  auto node = static_cast<NodeId>(nodes_.size());
  if (node == kNoNode) {
    throw std::bad_alloc();
  }
  if (nodes_.size() == nodes_.capacity()) {
    // Most instances hold a few calls: the table starts at one and doubles.
    nodes_.reserve(nodes_.empty() ? 1 : nodes_.size() * 2);
  }
  nodes_.emplace_back();
  return node;
}

MethodDependencyGraph::EdgeSets& MethodDependencyGraph::new_edge_sets(NodeId node) {
  EdgeSets& sets = edges_.emplace_back();
  record(node).edges = static_cast<std::uint32_t>(edges_.size());
  return sets;
}

template <class Visit>
void MethodDependencyGraph::walk_descendants(NodeId node, Visit&& visit) {
  if (++walk_number_ == 0) {
    // The counter wrapped: old marks could collide with new walk numbers.
    for (NodeRecord& record : nodes_) {
      record.walk_mark = 0;
    }
    walk_number_ = 1;
  }
  const std::uint32_t mark = walk_number_;
  walk_stack_.clear();
  walk_stack_.push_back(node);
  record(node).walk_mark = mark;
  while (!walk_stack_.empty()) {
    NodeId current = walk_stack_.back();
    walk_stack_.pop_back();
    visit(current);
    for (NodeId child : children_of(current)) {
      if (record(child).walk_mark != mark) {
        record(child).walk_mark = mark;
        walk_stack_.push_back(child);
      }
    }
  }
}

void MethodDependencyGraph::invalidate_walk(NodeId node, bool from_outside) {
  walk_descendants(node, [&](NodeId reached) {
    NodeRecord& reached_record = record(reached);
    if (reached_record.state == static_cast<std::uint8_t>(ValidationState::Valid)) {
      reached_record.state = static_cast<std::uint8_t>(ValidationState::Invalid);
    }
    if (from_outside) {
      ++reached_record.changes;
    }
  });
}

void MethodDependencyGraph::temporarily_invalidate(NodeId node) {
  invalidate_walk(node, /*from_outside=*/true);
}

void MethodDependencyGraph::permanently_invalidate(NodeId node) {
  record(node).state = static_cast<std::uint8_t>(ValidationState::PermanentlyInvalid);
}

void MethodDependencyGraph::validate(NodeId node) {
  if (record(node).state == static_cast<std::uint8_t>(ValidationState::Invalid)) {
    record(node).state = static_cast<std::uint8_t>(ValidationState::Valid);
  }
}

void MethodDependencyGraph::add_parent_dependency_growing(NodeId child, NodeId parent) {
  // Both nodes' edge sets exist before either is referred to: making one
  // may move the other.
  const bool child_had_edges = record(child).edges != 0;
  if (!child_had_edges) {
    new_edge_sets(child);
  }
  EdgeSets& parent_sets = edge_sets(parent);
  NodeSet& children = parent_sets.children;
  NodeSet& parents = edges_[record(child).edges - 1].parents;
  parent_sets.last_used = run_clock_;
  // The edge is in both sets or in neither: scan the smaller one (a child
  // whose sets were just made has no edge yet).
  if (child_had_edges &&
      (children.size() <= parents.size() ? children.contains(child) : parents.contains(parent))) {
    return;
  }
  children.append(child);
  try {
    parents.append(parent);
  } catch (...) {
    // Keep the two directions in step: undo the half-made edge.
    children.remove_last();
    throw;
  }
}

void MethodDependencyGraph::register_node(NodeId node, std::span<const NodeId> declared,
                                          bool expects_parents) {
  if (expects_parents) {
    edge_sets(node);
  }
  record(node).state = static_cast<std::uint8_t>(ValidationState::Invalid);
  for (NodeId dependency : declared) {
    add_parent_dependency(node, dependency);
  }
  // A node has no parents before its registration: the first ones are the
  // declared dependencies, without duplicates.
  if (const std::uint32_t edges = record(node).edges; edges != 0) {
    edges_[edges - 1].declared = static_cast<std::uint32_t>(edges_[edges - 1].parents.size());
  }
  record(node).registered = true;
}

MethodDependencyGraph::RunStart MethodDependencyGraph::begin_run(NodeId node) noexcept {
  if (run_clock_ == UINT32_MAX) {
    for (EdgeSets& sets : edges_) {
      sets.last_used = 0;
    }
    run_clock_ = 0;
    ++run_epoch_;
  }
  return {record(node).changes, ++run_clock_, run_epoch_};
}

// Whether `parent`, the index-th parent of the node whose edge sets are
// `sets`, was declared or recorded since the run began (a run of an older
// epoch counts every parent as used).
bool MethodDependencyGraph::used_in_run(const EdgeSets& sets, std::size_t index, NodeId parent,
                                        const RunStart& start) const noexcept {
  return index < sets.declared || start.epoch != run_epoch_ ||
         edges_[record(parent).edges - 1].last_used >= start.clock;
}

MethodDependencyGraph::Settled MethodDependencyGraph::settle_after_call(NodeId node,
                                                                       const RunStart& start) {
  const bool changed_meanwhile = record(node).changes != start.changes;
  bool any_invalid = false;
  const std::uint32_t edges = record(node).edges;
  const EdgeSets& sets = edges == 0 ? kNoEdgeSets : edges_[edges - 1];
  const NodeId* parents = sets.parents.begin();
  const std::size_t parent_count = sets.parents.size();
  for (std::size_t position = 0; position < parent_count; ++position) {
    const NodeId parent = parents[position];
    // A Valid parent changes nothing, used in this run or not.
    if (record(parent).state == static_cast<std::uint8_t>(ValidationState::Valid) ||
        !used_in_run(sets, position, parent, start)) {
      continue;
    }
    if (state_of(parent) == ValidationState::PermanentlyInvalid) {
      permanently_invalidate(node);
      const bool never_computed = record(parent).state == kNoState && position < sets.declared;
      return {false, never_computed ? parent : kNoNode};
    }
    any_invalid = true;
  }
  if (any_invalid) {
    invalidate_walk(node, /*from_outside=*/false);
  } else if (!changed_meanwhile) {
    // A result computed while one of its inputs was replaced stays Invalid:
    // it may have been computed from the old input.
    validate(node);
  }
  return {!changed_meanwhile && state_of(node) == ValidationState::Valid, kNoNode};
}

void MethodDependencyGraph::invalidate_all() {
  for (NodeRecord& record : nodes_) {
    if (record.state == static_cast<std::uint8_t>(ValidationState::Valid)) {
      record.state = static_cast<std::uint8_t>(ValidationState::Invalid);
    }
    ++record.changes;
  }
}

void MethodDependencyGraph::clear() noexcept {
  nodes_ = std::vector<NodeRecord>();
  edges_ = std::vector<EdgeSets>();
  walk_stack_ = std::vector<NodeId>();
  walk_number_ = 0;
}

}  // namespace quarrine
