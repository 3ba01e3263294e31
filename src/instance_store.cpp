// The instance store and its operations. See instance_store.hpp.
#include "instance_store.hpp"

#include <pthread.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <utility>

namespace quarrine {

// ========================================================= release list

ReleaseList::Lists& ReleaseList::lists() {
  if (!lists_) {
    lists_ = std::make_unique<Lists>();
  }
  return *lists_;
}

void ReleaseList::add(Ref reference) {
  if (reference) {
    lists().references.push_back(std::move(reference));
  }
}

void ReleaseList::add(CallKey key) {
  if (key) {
    lists().keys.push_back(std::move(key));
  }
}

// ======================================================= instance store

NodeId InstanceStore::find(const BoundCall& call) const {
  assert(guard_.is_held());
  if (slots_.empty()) {
    return kNoNode;
  }
  const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(call.hash) >> 32);
  for (std::size_t index = static_cast<std::size_t>(call.hash) & mask_;;
       index = (index + 1) & mask_) {
    const Slot slot = slots_[index];
    if (slot.node == kNoNode) {
      return kNoNode;
    }
    // Nothing can change the store while it is held, so the key stays put
    // while its values are compared.
    if (slot.hash_bits == bits && nodes_[slot.node].key.hash() == call.hash &&
        nodes_[slot.node].key.matches(call)) {
      return slot.node;
    }
  }
}

void InstanceStore::insert_slot(NodeId node) noexcept {
  const Py_hash_t hash = nodes_[node].key.hash();
  const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
  std::size_t index = static_cast<std::size_t>(hash) & mask_;
  while (slots_[index].node != kNoNode) {
    index = (index + 1) & mask_;
  }
  slots_[index] = {node, bits};
}

void InstanceStore::grow_table() {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<Slot> grown(capacity, Slot{kNoNode, 0});
  slots_.swap(grown);
  mask_ = capacity - 1;
  for (const Slot& slot : grown) {
    if (slot.node != kNoNode) {
      insert_slot(slot.node);
    }
  }
}

NodeId InstanceStore::find_or_add(const BoundCall& call, bool* added) {
  NodeId node = find(call);
  if (added != nullptr) {
    *added = node == kNoNode;
  }
  if (node != kNoNode) {
    return node;
  }
  return add(call);
}

NodeId InstanceStore::add(const BoundCall& call) {
  // Everything that can fail, or allocate Python objects (and so run the
  // collector), happens before the store changes.
  CallKey key(call);
  if (nodes_.size() == nodes_.capacity()) {
    nodes_.reserve(nodes_.empty() ? 16 : nodes_.size() * 2);
  }
  if ((nodes_.size() + 1) * 10 > slots_.size() * 7) {
    grow_table();
  }
  const NodeId node = graph_.add_node();
  nodes_.emplace_back(std::move(key));
  insert_slot(node);
  return node;
}

void InstanceStore::register_call(StoreAccess& access, NodeId node, const BoundCall& call,
                                  bool key_is_from_call, const DecoratorRecord& record) {
  // The declared dependencies are resolved to nodes (made, without
  // registration, for dependencies that were never called) first: finding
  // them compares keys, which may fail.
  std::vector<NodeId> declared;
  if (!record.dependency_keys.empty()) {
    declared.reserve(record.dependency_keys.size());
    BoundCall dependency;
    for (const CallKey& key : record.dependency_keys) {
      key.view(dependency);
      declared.push_back(find_or_add(dependency));
    }
  }
  if (!key_is_from_call) {
    // The node stood for a declared dependency or an updated value; the
    // reports show the key of its first real call.
    access.released().add(std::exchange(nodes_[node].key, CallKey(call)));
  }
  graph_.register_node(node, declared);
  nodes_[node].owner = record.serial;
}

PyObject* InstanceStore::servable_value(NodeId node) const noexcept {
  if (graph_.state_of(node) != ValidationState::Valid) {
    return nullptr;
  }
  return nodes_[node].value.get();
}

const CallFrame* InstanceStore::innermost_frame(PyThreadState* thread) const noexcept {
  for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
    if (frame->thread == thread) {
      return &*frame;
    }
  }
  return nullptr;
}

void InstanceStore::pop_frame(PyThreadState* thread, NodeId node) noexcept {
  for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
    if (frame->thread == thread && frame->node == node) {
      frames_.erase(std::next(frame).base());
      return;
    }
  }
}

// ================================================== cached call protocol

namespace {

// The address below which a thread's native stack is too close to its end
// for another cached computation: deep recursion through cached methods then
// raises RecursionError instead of overflowing the stack.
std::uintptr_t compute_stack_limit() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
    return 0;
  }
  void* lowest = nullptr;
  std::size_t size = 0;
  int status = pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  if (status != 0) {
    return 0;
  }
  std::size_t margin = std::min<std::size_t>(size / 4, std::size_t{1} << 20);
  return reinterpret_cast<std::uintptr_t>(lowest) + margin;
}

bool native_stack_nearly_exhausted() {
  thread_local const std::uintptr_t limit = compute_stack_limit();
  char marker = 0;
  return reinterpret_cast<std::uintptr_t>(&marker) < limit;
}

}  // namespace

Ref InstanceStore::begin_computation(StoreAccess& access, const DecoratorRecord& record,
                                     const BoundCall& call, std::uint64_t owner,
                                     Computation& computation) {
  NodeId node = find(call);
  // A node's owner is set when it is registered.
  if (node != kNoNode && nodes_[node].owner == record.serial) {
    // The common hit: no call runs on the instance that would record the
    // node as a parent, and a Valid result is stored.
    PyObject* stored = frames_.empty() ? servable_value(node) : nullptr;
    return stored != nullptr ? Ref::borrow(stored) : begin_owned(access, record, node, computation);
  }
  const bool registered = node != kNoNode && graph_.is_registered(node);
  // A node to register, or one that another decorator owns: the owner that
  // the class resolves decides, looked up by the caller with the guard let go.
  if (owner != record.serial) {
    computation.step = owner == 0 ? Computation::Step::FindOwner : Computation::Step::Plain;
    return Ref();
  }
  if (registered) {
    // The class has come to resolve this decorator since the node was
    // registered (a method redefined at run time): it takes the node over,
    // and the result the old owner computed is foreign to it.
    graph_.temporarily_invalidate(node);
    access.released().add(std::move(nodes_[node].value));
    nodes_[node].owner = record.serial;
  } else {
    // Nothing has changed the store since the node was looked up.
    const bool added = node == kNoNode;
    if (added) {
      node = add(call);
    }
    register_call(access, node, call, added, record);
  }
  return begin_owned(access, record, node, computation);
}

Ref InstanceStore::begin_owned(StoreAccess& access, const DecoratorRecord& record, NodeId node,
                               Computation& computation) {
  const CallFrame* caller = innermost_frame(access.thread());
  const bool recorded = caller != nullptr && caller->records_dependencies;
  if (recorded) {
    graph_.add_parent_dependency(caller->node, node);
  }
  if (PyObject* stored = servable_value(node)) {
    return Ref::borrow(stored);
  }
  if (native_stack_nearly_exhausted()) {
    raise_error(
        PyExc_RecursionError,
        "maximum recursion depth exceeded in a cached method (native stack nearly exhausted)");
  }
  const bool own_parent = recorded && caller->node == node;
  frames_.push_back({access.thread(), node, record.track_runtime_dependencies});
  computation.step = Computation::Step::Compute;
  computation.node = node;
  computation.start = graph_.begin_run(node);
  if (own_parent) {
    // A call of itself with the same arguments: the edge counts in this run
    // too, so neither run stores a result computed from a running call.
    graph_.add_parent_dependency(node, node);
  }
  return Ref();
}

Ref InstanceStore::finish_computation(StoreAccess& access, const DecoratorRecord& record,
                                      const Computation& computation, PyObject* result) {
  const NodeId node = computation.node;
  pop_frame(access.thread(), node);
  if (result == nullptr) {
    return Ref();
  }
  if (!record.use_cache) {
    graph_.permanently_invalidate(node);
  }
  if (!graph_.settle_after_call(node, computation.start)) {
    return Ref();
  }
  return std::exchange(nodes_[node].value, Ref::borrow(result));
}

// ================================================ changes from outside

void InstanceStore::update_value(StoreAccess& access, const BoundCall& call, PyObject* value) {
  const NodeId node = find_or_add(call);
  graph_.temporarily_invalidate(node);
  access.released().add(std::exchange(nodes_[node].value, Ref::borrow(value)));
  graph_.validate(node);
}

void InstanceStore::load_value(StoreAccess& access, const BoundCall& call, PyObject* value) {
  const NodeId node = find_or_add(call);
  access.released().add(std::exchange(nodes_[node].value, Ref::borrow(value)));
}

void InstanceStore::clear(StoreAccess& access) {
  graph_.invalidate_all();
  for (StoredNode& node : nodes_) {
    access.released().add(std::move(node.value));
  }
}

// ===================================================== garbage collector

int InstanceStore::traverse(visitproc visit, void* arg) const noexcept {
  for (const StoredNode& node : nodes_) {
    if (int status = node.key.traverse(visit, arg)) {
      return status;
    }
    Py_VISIT(node.value.get());
  }
  return 0;
}

void InstanceStore::clear_into(std::vector<StoredNode>& released) noexcept {
  released = std::move(nodes_);
  nodes_ = std::vector<StoredNode>();
  slots_ = std::vector<Slot>();
  mask_ = 0;
  graph_.clear();
}

}  // namespace quarrine
