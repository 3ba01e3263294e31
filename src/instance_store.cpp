// The instance store and its operations. See instance_store.hpp.
#include "instance_store.hpp"

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

void ReleaseList::make_room(std::size_t references) {
  std::vector<Ref>& list = lists().references;
  list.reserve(list.size() + references);
}

// ======================================================= finding a node

namespace {

// Visits the slots of the nodes whose hash is `hash`, in probe order, until
// visit(node) returns true; returns that node, or kNoNode at the first empty
// slot.
template <class Visit>
NodeId probe(const std::vector<InstanceStore::Slot>& slots, std::size_t mask, Py_hash_t hash,
             const std::vector<StoredNode>& nodes, Visit&& visit) {
  if (slots.empty()) {
    return kNoNode;
  }
  const std::uint32_t bits = InstanceStore::hash_bits(hash);
  for (std::size_t index = static_cast<std::size_t>(hash) & mask;; index = (index + 1) & mask) {
    const InstanceStore::Slot slot = slots[index];
    if (slot.node == kNoNode) {
      return kNoNode;
    }
    if (slot.hash_bits == bits && nodes[slot.node].key.hash() == hash && visit(slot.node)) {
      return slot.node;
    }
  }
}

// The per-thread list that resolve copies candidate keys into: it keeps its
// capacity, so a lookup that compares keys allocates once per thread.
thread_local std::vector<std::pair<NodeId, CallKey>> candidate_keys;

}  // namespace

NodeId InstanceStore::find_without_python(const BoundCall& call, bool* uncertain) const {
  assert(guard_.is_held());
  if (const NodeId node = find_inline(call); node != kNoNode) {
    return node;
  }
  return probe(slots_, mask_, call.hash, nodes_, [&](NodeId node) {
    const CallKey::Match match = nodes_[node].key.match_without_python(call);
    if (match == CallKey::Match::Unknown && uncertain != nullptr) {
      *uncertain = true;
    }
    return match == CallKey::Match::Equal;
  });
}

void InstanceStore::copy_candidates(const BoundCall& call,
                                    std::vector<std::pair<NodeId, CallKey>>& out) const {
  probe(slots_, mask_, call.hash, nodes_, [&](NodeId node) {
    out.emplace_back(node, nodes_[node].key.copy());
    return false;
  });
}

NodeId InstanceStore::resolve(const BoundCall& call, PyThreadState* thread,
                              IfMissing if_missing) {
  const bool add_missing = if_missing == IfMissing::Add;
  for (;;) {
    std::vector<std::pair<NodeId, CallKey>> candidates;
    std::size_t node_count = 0;
    {
      StoreAccess access(*this, Access::Shared, thread);
      bool uncertain = false;
      const NodeId found = find_without_python(call, &uncertain);
      if (found != kNoNode || (!uncertain && !add_missing)) {
        return found;
      }
      if (uncertain) {
        // Taken out of the per-thread list while in use: comparing may
        // re-enter.
        candidates = std::move(candidate_keys);
        copy_candidates(call, candidates);
      }
      node_count = nodes_.size();
    }
    // The copies keep their values alive whatever the comparisons run.
    NodeId equal = kNoNode;
    for (const auto& [node, key] : candidates) {
      if (equal == kNoNode && key.matches(call)) {
        equal = node;
      }
    }
    candidates.clear();
    candidate_keys = std::move(candidates);
    if (equal != kNoNode || !add_missing) {
      return equal;
    }
    // Nodes are never removed: unless one was added meanwhile, none is equal.
    StoreAccess access(*this, Access::Exclusive, thread);
    if (nodes_.size() == node_count) {
      return add_node(call);
    }
  }
}

Ref InstanceStore::stored_result(const BoundCall& call, PyThreadState* thread) {
  const NodeId node = resolve(call, thread, IfMissing::Leave);
  if (node == kNoNode) {
    return Ref();
  }
  StoreAccess access(*this, Access::Shared, thread);
  return Ref::borrow(servable_value(node));
}

void InstanceStore::insert_slot(NodeId node) noexcept {
  const Py_hash_t hash = nodes_[node].key.hash();
  const std::uint32_t bits = hash_bits(hash);
  std::size_t index = static_cast<std::size_t>(hash) & mask_;
  while (slots_[index].node != kNoNode) {
    index = (index + 1) & mask_;
  }
  slots_[index] = {node, bits};
}

void InstanceStore::grow_table() {
  // Small instances are the common case: the table starts with room for
  // one node and doubles.
  std::size_t capacity = slots_.empty() ? 2 : slots_.size() * 2;
  std::vector<Slot> grown(capacity, Slot{kNoNode, 0});
  slots_.swap(grown);
  mask_ = capacity - 1;
  for (const Slot& slot : grown) {
    if (slot.node != kNoNode) {
      insert_slot(slot.node);
    }
  }
}

NodeId InstanceStore::add_node(const BoundCall& call) {
  assert(guard_.is_held());
  // Room first; then the key is made in place (which leaves the table as it
  // was if it fails), and the graph's node taken back if that fails. Nothing
  // here makes a Python object.
  if (nodes_.size() == nodes_.capacity()) {
    nodes_.reserve(nodes_.empty() ? 1 : nodes_.size() * 2);
  }
  if ((nodes_.size() + 1) * 10 > slots_.size() * 7) {
    grow_table();
  }
  nodes_.emplace_back(call);
  NodeId node = 0;
  try {
    node = graph_.add_node();
  } catch (...) {
    nodes_.pop_back();  // a key that holds references only: its release runs no code
    throw;
  }
  assert(node + 1 == nodes_.size());
  insert_slot(node);
  return node;
}

const CallFrame* InstanceStore::innermost_frame(PyThreadState* thread) const noexcept {
  for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
    if (frame->thread == thread) {
      return &*frame;
    }
  }
  return nullptr;
}

void InstanceStore::remove_frame(PyThreadState* thread, NodeId node) noexcept {
  for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
    if (frame->thread == thread && frame->node == node) {
      frames_.erase(std::next(frame).base());
      return;
    }
  }
}

// ================================================== cached call protocol

namespace {

// The nodes of the declared dependencies that registrations use: one list
// per thread, reused.
thread_local std::vector<NodeId> declared_scratch;

}  // namespace

bool InstanceStore::declared_nodes(const DecoratorRecord& record, std::vector<NodeId>& out) {
  out.clear();
  BoundCall dependency;
  for (const CallKey& key : record.dependency_keys) {
    key.view(dependency);
    bool uncertain = false;
    NodeId node = find_without_python(dependency, &uncertain);
    if (uncertain) {
      return false;
    }
    out.push_back(node != kNoNode ? node : add_node(dependency));
  }
  return true;
}

void InstanceStore::register_node(StoreAccess& access, NodeId node, const BoundCall* call,
                                  const DecoratorRecord& record,
                                  std::span<const NodeId> dependencies) {
  if (call != nullptr) {
    // The node stood for a declared dependency or an updated value: the
    // reports show the key of its first real call.
    access.released().add(std::exchange(nodes_[node].key, CallKey(*call)));
  }
  graph_.register_node(node, dependencies, record.track_runtime_dependencies);
  nodes_[node].owner = record.serial;
  if (!record.use_cache) {
    // Never served, whatever value an update puts in.
    graph_.permanently_invalidate(node);
  }
}

void InstanceStore::register_for(StoreAccess& access, NodeId node, const DecoratorRecord& record,
                                 std::span<const NodeId> dependencies) {
  expect(access, Access::Exclusive);
  if (!graph_.is_registered(node)) {
    register_node(access, node, nullptr, record, dependencies);
  }
}

Answer InstanceStore::begin(StoreAccess& access, const DecoratorRecord& record,
                            const BoundCall& call, const Known& known) {
  expect(access, Access::Exclusive);
  NodeId node = known.node;
  if (node == kNoNode) {
    bool uncertain = false;
    node = find_without_python(call, &uncertain);
    if (node == kNoNode && uncertain) {
      return Need{Need::What::Node};
    }
  }
  if (node != kNoNode && nodes_[node].owner == record.serial) {
    return begin_owned(access, record, node, known);
  }
  return begin_unowned(access, record, call, node, known);
}

Answer InstanceStore::begin_unowned(StoreAccess& access, const DecoratorRecord& record,
                                    const BoundCall& call, NodeId node, const Known& known) {
  const bool added = node == kNoNode;
  if (added) {
    node = add_node(call);
  }
  if (!graph_.is_registered(node)) {
    // The first registrant owns the node.
    std::span<const NodeId> dependencies;
    if (known.dependencies) {
      dependencies = *known.dependencies;
    } else if (!record.dependency_keys.empty()) {
      if (record.dependencies_from_source || !declared_nodes(record, declared_scratch)) {
        return Need{Need::What::Dependencies, node};
      }
      dependencies = declared_scratch;
    }
    register_node(access, node, added ? nullptr : &call, record, dependencies);
    return begin_owned(access, record, node, known);
  }
  const std::uint64_t owner = nodes_[node].owner;
  if (known.verdict_owner != owner) {
    return Need{Need::What::Verdict, node, owner};
  }
  if (!known.take_over) {
    return Run{Run::As::PlainCall, node};
  }
  // The class has come to resolve the caller where it resolved the owner
  // (a method redefined at run time): the result the old owner computed is
  // foreign to it.
  graph_.temporarily_invalidate(node);
  access.released().add(std::move(nodes_[node].value));
  nodes_[node].owner = record.serial;
  return begin_owned(access, record, node, known);
}

const CallFrame* InstanceStore::caller_of(PyThreadState* thread, const Known& known,
                                          bool& unknown) const {
  unknown = false;
  if (const CallFrame* frame = innermost_frame(thread)) {
    return frame;
  }
  if (async_runs_.empty()) {
    return nullptr;
  }
  if (!known.async_caller) {
    unknown = true;
    return nullptr;
  }
  return known.async_caller->node != kNoNode ? &*known.async_caller : nullptr;
}

Answer InstanceStore::begin_owned(StoreAccess& access, const DecoratorRecord& record, NodeId node,
                                  const Known& known) {
  bool unknown = false;
  const CallFrame* caller = caller_of(access.thread(), known, unknown);
  if (unknown) {
    return Need{Need::What::AsyncCaller, node};
  }
  const bool recorded = caller != nullptr && caller->records_dependencies;
  if (recorded) {
    graph_.add_parent_dependency(caller->node, node);
  }
  if (PyObject* stored = servable_value(node)) {
    return Hit{Ref::borrow(stored)};
  }
  if (record.is_coroutine) {
    return Run{Run::As::AsyncComputation, node};
  }
  return Run{Run::As::Computation, node, recorded && caller->node == node};
}

Computation InstanceStore::start_computation(StoreAccess& access, const DecoratorRecord& record,
                                             const Run& run) {
  expect(access, Access::Exclusive);
  assert(run.as == Run::As::Computation && graph_.is_registered(run.node));
  const Computation computation{run.node, graph_.begin_run(run.node)};
  if (run.calls_itself) {
    // A call of itself with the same arguments: the edge counts in this run
    // too, so neither run stores a result computed from a running call.
    graph_.add_parent_dependency(run.node, run.node);
  }
  frames_.push_back({access.thread(), run.node, record.track_runtime_dependencies});
  return computation;
}

// Inlined into both of its callers: the synchronous one is the miss path.
[[gnu::always_inline]] inline Finished InstanceStore::settle_and_store(
    const DecoratorRecord& record, NodeId node, const MethodDependencyGraph::RunStart& start,
    PyObject* result) {
  Finished finished;
  if (!record.use_cache) {
    graph_.permanently_invalidate(node);
  }
  const MethodDependencyGraph::Settled settled = graph_.settle_after_call(node, start);
  if (settled.never_computed_parent != kNoNode) {
    // A borrowed name from the parent's key, kept: no object is made.
    finished.uncomputed_dependency =
        Ref::borrow(nodes_[settled.never_computed_parent].key.method_name());
  }
  if (settled.keep_result) {
    finished.replaced = std::exchange(nodes_[node].value, Ref::borrow(result));
  }
  return finished;
}

Finished InstanceStore::finish_computation(StoreAccess& access, const DecoratorRecord& record,
                                           const Computation& computation, PyObject* result) {
  expect(access, Access::Exclusive);
  remove_frame(access.thread(), computation.node);
  if (result == nullptr) {
    return Finished();
  }
  return settle_and_store(record, computation.node, computation.start, result);
}

// ================================================ async computations

PyObject* InstanceStore::shared_run(const StoreAccess& access, NodeId node,
                                    PyObject* loop) const noexcept {
  expect(access, Access::Shared);
  for (const AsyncRun& run : async_runs_) {
    if (run.node == node && run.loop.get() == loop) {
      return run.changes == graph_.change_count(node) ? run.run.get() : nullptr;
    }
  }
  return nullptr;
}

MethodDependencyGraph::RunStart InstanceStore::begin_async_run(StoreAccess& access, NodeId node,
                                                               PyObject* loop, PyObject* run,
                                                               bool records_dependencies) {
  expect(access, Access::Exclusive);
  if (run != nullptr) {
    for (AsyncRun& earlier : async_runs_) {
      if (earlier.node == node && earlier.loop.get() == loop) {
        // A run that an invalidation reached: later callers join this one.
        access.released().add(std::exchange(earlier.run, Ref::borrow(run)));
        earlier.changes = graph_.change_count(node);
        return graph_.begin_run(node);
      }
    }
    async_runs_.push_back({node, Ref::borrow(loop), Ref::borrow(run), graph_.change_count(node)});
    return graph_.begin_run(node);
  }
  // A computation inside its own run (a call of itself that it awaits): as
  // for a synchronous call of itself, the edge counts in this run too, so
  // that neither run stores a result computed from a running call.
  MethodDependencyGraph::RunStart start = graph_.begin_run(node);
  if (records_dependencies) {
    graph_.add_parent_dependency(node, node);
  }
  return start;
}

void InstanceStore::end_async_run(StoreAccess& access, NodeId node, PyObject* loop,
                                  PyObject* run) {
  expect(access, Access::Exclusive);
  for (auto entry = async_runs_.begin(); entry != async_runs_.end(); ++entry) {
    if (entry->node == node && entry->loop.get() == loop && entry->run.get() == run) {
      // Room first, so that the references reach the release list (and are
      // released after the guard is let go) once the run is taken out.
      access.released().make_room(2);
      access.released().add(std::move(entry->loop));
      access.released().add(std::move(entry->run));
      async_runs_.erase(entry);
      return;
    }
  }
}

void InstanceStore::push_frame(StoreAccess& access, NodeId node, bool records_dependencies) {
  expect(access, Access::Exclusive);
  frames_.push_back({access.thread(), node, records_dependencies});
}

void InstanceStore::pop_frame(StoreAccess& access, NodeId node) noexcept {
  expect(access, Access::Exclusive);
  remove_frame(access.thread(), node);
}

Finished InstanceStore::finish_async(StoreAccess& access, const DecoratorRecord& record,
                                     NodeId node, const MethodDependencyGraph::RunStart& start,
                                     PyObject* result) {
  expect(access, Access::Exclusive);
  return settle_and_store(record, node, start, result);
}

// ================================================ changes from outside

bool InstanceStore::is_registered(const StoreAccess& access, NodeId node) const noexcept {
  expect(access, Access::Shared);
  return graph_.is_registered(node);
}

void InstanceStore::update_values(StoreAccess& access, std::span<const NodeId> nodes,
                                  std::span<PyObject* const> values) {
  expect(access, Access::Exclusive);
  assert(nodes.size() == values.size());
  // Everything computed from any of them is invalidated before any becomes
  // Valid, so that values loaded together stay valid together.
  for (NodeId node : nodes) {
    graph_.temporarily_invalidate(node);
  }
  access.released().make_room(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    access.released().add(std::exchange(nodes_[nodes[i]].value, Ref::borrow(values[i])));
    graph_.validate(nodes[i]);
  }
}

void InstanceStore::drop_results(StoreAccess& access) {
  expect(access, Access::Exclusive);
  graph_.invalidate_all();
  access.released().make_room(nodes_.size());
  for (StoredNode& node : nodes_) {
    access.released().add(std::move(node.value));
  }
}

// ================================================================ reports

std::vector<NodeSnapshot> InstanceStore::snapshot(const StoreAccess& access,
                                                  bool with_children) const {
  expect(access, Access::Shared);
  std::vector<NodeSnapshot> copies;
  for (NodeId node = 0; node < nodes_.size(); ++node) {
    if (!graph_.is_registered(node)) {
      continue;
    }
    NodeSnapshot& copy = copies.emplace_back(NodeSnapshot{
        node, nodes_[node].key.copy(), Ref::borrow(nodes_[node].value.get()),
        graph_.state_of(node), {}});
    if (with_children) {
      for (NodeId child : graph_.children_of(node)) {
        if (graph_.is_registered(child)) {
          copy.children.push_back(child);
        }
      }
    }
  }
  return copies;
}

// ===================================================== garbage collector

int InstanceStore::traverse(visitproc visit, void* arg) const noexcept {
  for (const StoredNode& node : nodes_) {
    if (int status = node.key.traverse(visit, arg)) {
      return status;
    }
    Py_VISIT(node.value.get());
  }
  for (const AsyncRun& run : async_runs_) {
    Py_VISIT(run.loop.get());
    Py_VISIT(run.run.get());
  }
  return 0;
}

void InstanceStore::tear_down(std::vector<StoredNode>& released) noexcept {
  // A run holds its caller's instance: only the collector clears a store
  // that still has runs, and then it is consistent before they go.
  std::vector<AsyncRun> runs = std::move(async_runs_);
  async_runs_ = std::vector<AsyncRun>();
  released = std::move(nodes_);
  nodes_ = std::vector<StoredNode>();
  slots_ = std::vector<Slot>();
  mask_ = 0;
  frames_ = std::vector<CallFrame>();
  graph_.clear();
}

// ============================================================ invariants

#ifndef NDEBUG
void InstanceStore::check_invariants() const noexcept {
  assert(nodes_.size() == graph_.node_count());
  assert(nodes_.size() * 10 <= slots_.size() * 7 || nodes_.empty());
  assert(slots_.empty() || mask_ + 1 == slots_.size());
  // The table names each node once, found from its hash: checked in full
  // for small stores, whose walk costs little at every access.
  if (nodes_.size() <= 64) {
    std::size_t named = 0;
    for (const Slot& slot : slots_) {
      if (slot.node == kNoNode) {
        continue;
      }
      ++named;
      assert(slot.node < nodes_.size() && slot.hash_bits == hash_bits(nodes_[slot.node].key.hash()));
    }
    assert(named == nodes_.size());
  }
  for (NodeId node = 0; node < nodes_.size() && node < 64; ++node) {
    assert((nodes_[node].owner != 0) == graph_.is_registered(node));
  }
  for (const CallFrame& frame : frames_) {
    assert(frame.node < nodes_.size() && graph_.is_registered(frame.node));
  }
  for (const AsyncRun& run : async_runs_) {
    assert(run.node < nodes_.size() && graph_.is_registered(run.node));
  }
}
#endif

}  // namespace quarrine
