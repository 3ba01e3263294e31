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

NodeSet::NodeSet(NodeSet&& other) noexcept
    : items_(std::exchange(other.items_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

NodeSet& NodeSet::operator=(NodeSet&& other) noexcept {
  if (this != &other) {
    std::free(items_);
    items_ = std::exchange(other.items_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

NodeSet::~NodeSet() { std::free(items_); }

bool NodeSet::contains(NodeId node) const noexcept {
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (items_[i] == node) {
      return true;
    }
  }
  return false;
}

void NodeSet::append(NodeId node) {
  if (size_ == capacity_) {
    std::uint32_t capacity = capacity_ == 0 ? 2 : capacity_ * 2;
    void* grown = std::realloc(items_, sizeof(NodeId) * capacity);
    if (grown == nullptr) {
      throw std::bad_alloc();
    }
    items_ = static_cast<NodeId*>(grown);
    capacity_ = capacity;
  }
  items_[size_++] = node;
}

// ------------------------------------------------- MethodDependencyGraph

NodeId MethodDependencyGraph::add_node() {
  auto node = static_cast<NodeId>(states_.size());
  if (node == UINT32_MAX) {
    throw std::bad_alloc();
  }
  // Grow every table before changing any, so that a failed allocation leaves
  // the tables in step.
  auto make_room = [](auto& table) {
    if (table.size() == table.capacity()) {
      table.reserve(table.empty() ? 16 : table.size() * 2);
    }
  };
  make_room(states_);
  make_room(changes_);
  make_room(declared_);
  make_room(last_used_);
  make_room(children_);
  make_room(parents_);
  make_room(walk_marks_);
  states_.push_back(kNoState);
  changes_.push_back(0);
  declared_.push_back(0);
  last_used_.push_back(0);
  children_.emplace_back();
  parents_.emplace_back();
  walk_marks_.push_back(0);
  return node;
}

ValidationState MethodDependencyGraph::state_of(NodeId node) const noexcept {
  std::uint8_t state = states_[node];
  return state == kNoState ? ValidationState::PermanentlyInvalid
                           : static_cast<ValidationState>(state);
}

bool MethodDependencyGraph::has_state(NodeId node) const noexcept {
  return states_[node] != kNoState;
}

template <class Visit>
void MethodDependencyGraph::walk_descendants(NodeId node, Visit&& visit) {
  if (++walk_number_ == 0) {
    // The counter wrapped: old marks could collide with new walk numbers.
    std::memset(walk_marks_.data(), 0, walk_marks_.size() * sizeof(std::uint32_t));
    walk_number_ = 1;
  }
  const std::uint32_t mark = walk_number_;
  walk_stack_.clear();
  walk_stack_.push_back(node);
  walk_marks_[node] = mark;
  while (!walk_stack_.empty()) {
    NodeId current = walk_stack_.back();
    walk_stack_.pop_back();
    visit(current);
    for (NodeId child : children_[current]) {
      if (walk_marks_[child] != mark) {
        walk_marks_[child] = mark;
        walk_stack_.push_back(child);
      }
    }
  }
}

std::vector<NodeId> MethodDependencyGraph::methods_to_invalidate(NodeId node) {
  std::vector<NodeId> result;
  walk_descendants(node, [&](NodeId reached) { result.push_back(reached); });
  return result;
}

void MethodDependencyGraph::invalidate_walk(NodeId node, bool from_outside) {
  walk_descendants(node, [&](NodeId reached) {
    if (states_[reached] == static_cast<std::uint8_t>(ValidationState::Valid)) {
      states_[reached] = static_cast<std::uint8_t>(ValidationState::Invalid);
    }
    if (from_outside) {
      ++changes_[reached];
    }
  });
}

void MethodDependencyGraph::temporarily_invalidate(NodeId node) {
  invalidate_walk(node, /*from_outside=*/true);
}

void MethodDependencyGraph::permanently_invalidate(NodeId node) {
  states_[node] = static_cast<std::uint8_t>(ValidationState::PermanentlyInvalid);
}

void MethodDependencyGraph::validate(NodeId node) {
  if (states_[node] == static_cast<std::uint8_t>(ValidationState::Invalid)) {
    states_[node] = static_cast<std::uint8_t>(ValidationState::Valid);
  }
}

void MethodDependencyGraph::add_parent_dependency(NodeId child, NodeId parent) {
  NodeSet& children = children_[parent];
  NodeSet& parents = parents_[child];
  // The edge is in both sets or in neither: scan the smaller one.
  bool present =
      children.size() <= parents.size() ? children.contains(child) : parents.contains(parent);
  last_used_[parent] = run_clock_;
  if (present) {
    return;
  }
  children.append(child);
  try {
    parents.append(parent);
  } catch (...) {
    // Keep the two directions in step: undo the half-made edge.
    NodeSet rebuilt;
    for (NodeId member : children) {
      if (member != child) {
        rebuilt.append(member);
      }
    }
    children = std::move(rebuilt);
    throw;
  }
}

void MethodDependencyGraph::register_node(NodeId node, std::span<const NodeId> declared) {
  states_[node] = static_cast<std::uint8_t>(ValidationState::Invalid);
  for (NodeId dependency : declared) {
    add_parent_dependency(node, dependency);
  }
  // A node has no parents before its registration: the first ones are the
  // declared dependencies, without duplicates.
  declared_[node] = static_cast<std::uint32_t>(parents_[node].size());
}

MethodDependencyGraph::RunStart MethodDependencyGraph::begin_run(NodeId node) noexcept {
  if (run_clock_ == UINT32_MAX) {
    std::fill(last_used_.begin(), last_used_.end(), 0);
    run_clock_ = 0;
    ++run_epoch_;
  }
  return {changes_[node], ++run_clock_, run_epoch_};
}

bool MethodDependencyGraph::used_in_run(NodeId node, std::size_t index, NodeId parent,
                                        const RunStart& start) const noexcept {
  return index < declared_[node] || start.epoch != run_epoch_ ||
         last_used_[parent] >= start.clock;
}

bool MethodDependencyGraph::settle_after_call(NodeId node, std::uint32_t changes_at_start) {
  return settle_after_call(node, RunStart{changes_at_start, 0, run_epoch_});
}

bool MethodDependencyGraph::settle_after_call(NodeId node, const RunStart& start) {
  const bool changed_meanwhile = changes_[node] != start.changes;
  bool any_invalid = false;
  std::size_t index = 0;
  for (NodeId parent : parents_[node]) {
    if (!used_in_run(node, index++, parent, start)) {
      continue;
    }
    ValidationState state = state_of(parent);
    if (state == ValidationState::PermanentlyInvalid) {
      permanently_invalidate(node);
      return false;
    }
    any_invalid = any_invalid || state == ValidationState::Invalid;
  }
  if (any_invalid) {
    invalidate_walk(node, /*from_outside=*/false);
  } else if (!changed_meanwhile) {
    // A result computed while one of its inputs was replaced stays Invalid:
    // it may have been computed from the old input.
    validate(node);
  }
  return !changed_meanwhile && state_of(node) == ValidationState::Valid;
}

void MethodDependencyGraph::invalidate_all() {
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (states_[i] == static_cast<std::uint8_t>(ValidationState::Valid)) {
      states_[i] = static_cast<std::uint8_t>(ValidationState::Invalid);
    }
    ++changes_[i];
  }
}

void MethodDependencyGraph::clear() noexcept {
  states_ = std::vector<std::uint8_t>();
  changes_ = std::vector<std::uint32_t>();
  declared_ = std::vector<std::uint32_t>();
  last_used_ = std::vector<std::uint32_t>();
  children_ = std::vector<NodeSet>();
  parents_ = std::vector<NodeSet>();
  walk_stack_ = std::vector<NodeId>();
  walk_marks_ = std::vector<std::uint32_t>();
  walk_number_ = 0;
}

}  // namespace quarrine
