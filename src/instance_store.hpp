// The store that each QuarrineBase instance carries, and the operations in
// which the cached call protocol and the base class's methods change it
// under the store's access guard (access_guard.hpp).
//
// The store owns every stored result and every call key of its instance, and
// the instance's dependency graph. It is reached only through its instance,
// with the interpreter lock held, and read or changed only by the operations
// below, each under a held StoreAccess.
//
// No Python code runs and no Python object is made while the guard is held
// (access_guard.hpp): keys whose values could run __eq__ are copied out and
// compared after the guard is let go (resolve), reports are built from
// copies (snapshot), and the references an operation takes out of the store
// go to the access's release list, released after the guard is let go. So a
// finaliser, a __hash__ or a weakref callback that touches the instance
// always finds its store free.
#pragma once

#include "access_guard.hpp"
#include "decorator_record.hpp"
#include "dependency_graph.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

#include <cassert>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quarrine {

// One cached call running on an instance: on which thread, for which node,
// and whether the cached calls it makes are recorded as its parents.
struct CallFrame {
  PyThreadState* thread;
  NodeId node;
  bool records_dependencies;
};

// What the store holds for one node: its call key, its stored result (if
// any) and which decorator owns it. Whether a call of it went through the
// call protocol is the graph's registration of the node.
struct StoredNode {
  StoredNode() noexcept = default;
  explicit StoredNode(CallKey&& node_key) noexcept : key(std::move(node_key)) {}
  // The node of a call, its key made in place.
  explicit StoredNode(const BoundCall& call) : key(call) {}

  CallKey key;
  Ref value;
  std::uint64_t owner = 0;  // the serial of the owning decorator, once registered
};

// References taken out of a store under its guard, released when the list
// ends. Most steps take none, so the lists are made on the first reference.
class ReleaseList {
 public:
  void add(Ref reference);
  void add(CallKey key);

 private:
  struct Lists {
    std::vector<Ref> references;
    std::vector<CallKey> keys;
  };
  Lists& lists();
  std::unique_ptr<Lists> lists_;
};

class StoreAccess;

// What the first step of a call needs to know that only code run with the
// guard let go can tell: filled in by the caller between attempts.
struct CallPlan {
  static constexpr NodeId kNoNode = UINT32_MAX;
  // The call's node, found by comparing keys with the guard let go.
  NodeId node = kNoNode;
  // The nodes of the declared dependencies, for the node's registration.
  bool dependencies_known = false;
  std::vector<NodeId> dependencies;
  // Whether the caller takes the node over from `verdict_owner`, the owner
  // that the decision was made against (0 while none was made).
  std::uint64_t verdict_owner = 0;
  bool take_over = false;
  // The innermost running cached call of an async body that is suspended
  // while the task it started runs (from its context), once looked up.
  bool async_caller_known = false;
  CallFrame async_caller{nullptr, kNoNode, false};
};

// The run of an async method's computation in progress on one event loop:
// the run object (which callers join) and the node's change count when it
// began, which tells a run that an invalidation reached since.
struct AsyncRun {
  NodeId node;
  Ref loop;
  Ref run;
  std::uint32_t changes;
};

// A copy of what the reports show of one registered node, made under the
// guard: references of its own, so that the Python objects of a report are
// made after the guard is let go.
struct NodeSnapshot {
  NodeId node;
  CallKey key;
  Ref value;
  ValidationState state;
  std::vector<NodeId> children;  // registered children, when asked for
};

class InstanceStore {
 public:
  static constexpr NodeId kNoNode = CallPlan::kNoNode;
  // One slot of the table of node ids by call hash.
  struct Slot {
    NodeId node;
    std::uint32_t hash_bits;  // the hash's upper half, told apart before the key
  };
  static std::uint32_t hash_bits(Py_hash_t hash) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
  }

  // ----------------------------------------------------- finding a node

  // The node whose key equals the call, found with the guard let go for
  // every comparison of keys that could run Python code (a value's __eq__):
  // under the guard the candidates are copied out, and compared after. When
  // there is none, `add` adds an unregistered node (no node was added
  // meanwhile, or the search is made again); else kNoNode.
  NodeId resolve(const BoundCall& call, PyThreadState* thread, bool add);

  // ------------------------------------------- the cached call protocol

  // What the first step of a call decided, and, for a computation, where it
  // stands between its two steps.
  struct Computation {
    enum class Step {
      Compute,           // run the function, then finish_computation
      Plain,             // not the node's owner: run the function as a plain call
      Await,             // an async method's computation: run or join it when awaited
      FindNode,          // the call's node must be found by comparing keys
      FindDependencies,  // the declared dependencies' nodes must be found
      FindOwner,         // whether to take the node over from `owner` must be decided
      FindAsyncCaller,   // the innermost running call of the async context must be found
      TooDeep,           // the native stack is nearly exhausted
    };
    Step step = Step::Compute;
    NodeId node = kNoNode;
    std::uint64_t owner = 0;
    MethodDependencyGraph::RunStart start;
  };

  // The first step of a call of `record`'s method, under exclusive access.
  //
  // The results of a node belong to its owner: the first decorator that
  // registers it on this instance. A decorator that does not own the node
  // (a super() call of an overridden method, two functions with one
  // __name__) runs it as a plain call: Step::Plain, the store untouched.
  // The owner changes only when the caller decides, with the guard let go,
  // that the class now resolves it where it resolved the owner (a method
  // redefined at run time): the caller then takes the node over, and the old
  // result and everything computed from it become invalid.
  //
  // Whatever needs code run with the guard let go (comparing keys, finding
  // the declared dependencies' nodes, deciding a takeover) is returned as a
  // Find* step with the store unchanged or only grown by unregistered nodes;
  // the caller learns it into `plan` and calls again.
  //
  // Otherwise registers the node on its first call, and records it as a
  // parent of the thread's innermost running call on this instance when
  // that call records dependencies. If the node is Valid and holds a result,
  // returns that result. Otherwise pushes the thread's frame for the node,
  // notes where the computation stands in `computation` and returns an
  // empty handle: the caller runs the function with the guard let go, then
  // calls finish_computation.
  Ref begin_computation(StoreAccess& access, const DecoratorRecord& record, const BoundCall& call,
                        const CallPlan& plan, Computation& computation) {
    bool uncertain = false;
    const NodeId node = plan.node != kNoNode ? plan.node : find_without_python(call, &uncertain);
    if (node < nodes_.size() && nodes_[node].owner == record.serial) {
      // The common hit: no call runs on the instance that would record the
      // node as a parent, and a Valid result is stored.
      PyObject* stored = frames_.empty() && async_runs_.empty() ? servable_value(node) : nullptr;
      return stored != nullptr ? Ref::borrow(stored)
                               : begin_owned(access, record, node, plan, computation);
    }
    if (uncertain) {
      computation.step = Computation::Step::FindNode;
      return Ref();
    }
    return begin_unowned(access, record, call, node, plan, computation);
  }

  // What finishing a computation hands back, for the caller to deal with
  // after the guard is let go: the result that the stored one replaced (to
  // release), and the method name of a declared dependency that had never
  // been computed when the node settled (the node is then never cached).
  struct Finished {
    Ref replaced;
    Ref uncomputed_dependency;
  };
  // The second step, under exclusive access, after the function returned
  // `result` (null when it raised). Pops the frame. After a normal return the
  // node of a method that does not cache becomes PermanentlyInvalid, the
  // node is settled from its parents, and the result is stored if the node
  // may keep it.
  [[nodiscard]] Finished finish_computation(StoreAccess& access, const DecoratorRecord& record,
                                            const Computation& computation, PyObject* result);

  // ------------------------------------------------ async computations

  // The node's run on `loop` that no invalidation reached since it began
  // (borrowed: the store keeps it), else null.
  PyObject* shared_run(StoreAccess& access, NodeId node, PyObject* loop) const noexcept;
  // Notes where a computation of the node begins and, when `run` is given,
  // enters it as the node's run on `loop` in place of any earlier one;
  // without one, the computation runs inside the node's own run.
  MethodDependencyGraph::RunStart begin_async_run(StoreAccess& access, NodeId node,
                                                  PyObject* loop, PyObject* run,
                                                  bool records_dependencies);
  // Takes `run` out, where it is still the node's run on `loop`.
  void end_async_run(StoreAccess& access, NodeId node, PyObject* loop, PyObject* run) noexcept;
  // The frame of an async computation while one step of its body runs.
  void push_frame(StoreAccess& access, NodeId node, bool records_dependencies);
  void pop_async_frame(StoreAccess& access, NodeId node) noexcept;
  // The end of an async computation that returned `result`: as
  // finish_computation, its frame being popped already.
  [[nodiscard]] Finished finish_async(StoreAccess& access, const DecoratorRecord& record,
                                      NodeId node, const MethodDependencyGraph::RunStart& start,
                                      PyObject* result);

  // ------------------------------------------- changes from outside

  // Whether the node was registered (by a call, or by register_for).
  bool is_registered(NodeId node) const noexcept { return graph_.is_registered(node); }
  // Registers a node that no call has registered, for `record`, with the
  // nodes of its declared dependencies (update_cached_value of a call not
  // made yet).
  void register_for(StoreAccess& access, NodeId node, const DecoratorRecord& record,
                    std::span<const NodeId> dependencies);
  // update_cached_value and load_cache: every result computed from the
  // given nodes becomes Invalid, then each node holds its value and is Valid
  // (when its state allows).
  void update_values(StoreAccess& access, std::span<const NodeId> nodes,
                     std::span<PyObject* const> values);
  // clear_cache: every Valid node becomes Invalid and every stored result is
  // let go; nodes and edges stay.
  void clear(StoreAccess& access);

  // ------------------------------------------------------------ queries

  // The stored result if the node is Valid and holds one, else null.
  PyObject* servable_value(NodeId node) const noexcept;
  // The stored result of the call if its node is Valid and holds one, else
  // an empty handle; the node is found as resolve finds it.
  Ref servable_result(const BoundCall& call, PyThreadState* thread);
  // Copies of what the reports show of every registered node, with each
  // one's registered children if `with_children`.
  std::vector<NodeSnapshot> snapshot(StoreAccess& access, bool with_children) const;

  // ------------------------------------------ garbage collector support

  int traverse(visitproc visit, void* arg) const noexcept;
  // Moves every node out of the store (left empty and consistent) into
  // `released`, for the caller to drop. The collector's clear and the
  // deallocation hold no guard: nothing else can reach the store then.
  void clear_into(std::vector<StoredNode>& released) noexcept;

 private:
  friend class StoreAccess;

  // The node whose key equals the call, where that is told without running
  // Python code; kNoNode when there is none, or when a key must be compared
  // with the guard let go (then `uncertain`, if given, is set). The node in
  // the call's first slot, holding the call's very objects, is found inline.
  NodeId find_without_python(const BoundCall& call, bool* uncertain = nullptr) const {
    assert(guard_.is_held());
    if (!slots_.empty()) {
      const Slot slot = slots_[static_cast<std::size_t>(call.hash) & mask_];
      if (slot.node != kNoNode && slot.hash_bits == hash_bits(call.hash) &&
          nodes_[slot.node].key.hash() == call.hash &&
          nodes_[slot.node].key.holds_the_very_objects_of(call)) {
        return slot.node;
      }
    }
    return probe_without_python(call, uncertain);
  }
  NodeId probe_without_python(const BoundCall& call, bool* uncertain) const;

  // Copies of the keys of the nodes whose hash is the call's.
  void copy_candidates(const BoundCall& call, std::vector<std::pair<NodeId, CallKey>>& out) const;
  // Adds an unregistered node for a call that has none.
  NodeId add(const BoundCall& call);
  // The part of begin_computation for a node that is new, unregistered or
  // owned by another decorator.
  Ref begin_unowned(StoreAccess& access, const DecoratorRecord& record, const BoundCall& call,
                    NodeId node, const CallPlan& plan, Computation& computation);
  // The nodes of the record's declared dependencies, where they are found
  // without running Python code (a missing one is added); false otherwise.
  bool declared_nodes(const DecoratorRecord& record, std::vector<NodeId>& out);
  void register_node(StoreAccess& access, NodeId node, const BoundCall* call,
                     const DecoratorRecord& record, std::span<const NodeId> dependencies);
  // The part of begin_computation after the node is known to be the record's.
  Ref begin_owned(StoreAccess& access, const DecoratorRecord& record, NodeId node,
                  const CallPlan& plan, Computation& computation);
  // The call that a call of `node` is made from: the thread's innermost
  // running call on this instance, else that of the async context (from
  // `plan`); null when there is none, or when the async context must be
  // looked up first (then `unknown`).
  const CallFrame* caller_of(PyThreadState* thread, const CallPlan& plan, bool& unknown) const;
  // Settles the node after a computation that began at `start` returned
  // `result`, and stores the result if the node may keep it.
  Finished settle_and_store(const DecoratorRecord& record, NodeId node,
                            const MethodDependencyGraph::RunStart& start, PyObject* result);
  const CallFrame* innermost_frame(PyThreadState* thread) const noexcept;
  void pop_frame(PyThreadState* thread, NodeId node) noexcept;
  void grow_table();
  void insert_slot(NodeId node) noexcept;

  AccessGuard guard_;
  MethodDependencyGraph graph_;
  // Open-addressing table of node ids by call hash (linear probing); empty
  // until the first node.
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::vector<StoredNode> nodes_;  // indexed by node id
  std::vector<CallFrame> frames_;
  std::vector<AsyncRun> async_runs_;  // async computations in progress
};

// Holds an instance's guard for one step. The references that the step
// takes out of the store go into its release list, which ends after the
// guard is let go: whatever their release runs finds the store free.
class StoreAccess {
 public:
  StoreAccess(InstanceStore& store, Access access, PyThreadState* thread)
      : store_(store), access_(access), thread_(thread) {
    store_.guard_.acquire(access_);
  }
  StoreAccess(InstanceStore& store, Access access)
      : StoreAccess(store, access, PyThreadState_Get()) {}
  StoreAccess(const StoreAccess&) = delete;
  StoreAccess& operator=(const StoreAccess&) = delete;
  // Lets the guard go; the release list, a member, ends afterwards.
  // A thread ended by the finalising interpreter leaves the guard held: the
  // process is ending, and nothing is touched without the interpreter lock.
  ~StoreAccess() {
    if (may_release()) {
      store_.guard_.release(access_);
    }
  }

  PyThreadState* thread() const noexcept { return thread_; }
  ReleaseList& released() noexcept { return released_; }

 private:
  InstanceStore& store_;
  Access access_;
  PyThreadState* thread_;
  ReleaseList released_;
};

}  // namespace quarrine
