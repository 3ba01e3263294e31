// The store that each QuarrineBase instance carries, and the operations in
// which the cached call protocol and the base class's methods read and
// change it under the store's access guard (access_guard.hpp).
//
// The store owns every stored result and every call key of its instance, the
// instance's dependency graph, the frames of the cached calls running on it
// and its async computations in progress. It is reached only through its
// instance, with the interpreter lock held.
//
// Invariants (check_invariants() checks them in debug builds, each time an
// access ends):
//   * Dense ids. Node n is nodes_[n] and the graph's node n: the two always
//     hold the same number of nodes, and slots_ names each node exactly once,
//     in the probe sequence of its key's hash, with the hash's upper half.
//   * Nodes are never removed while the instance lives (only its teardown
//     empties the store). So an id learned with the guard let go still names
//     the same node when the guard is taken again, and a store that has not
//     grown since a search has no node the search missed.
//   * The table is at most 0.7 full: it doubles before the node that would
//     fill it further is added, so every probe ends at an empty slot.
//   * A node's owner is 0 until the graph registers it, and from then on the
//     serial of the decorator that registered it (or took it over).
//   * Every frame and every async run names a registered node.
//
// Access rule: every operation below takes the StoreAccess it runs under,
// held on this store (exclusively where it changes anything), and asserts
// that it does. Three are the exceptions, each saying so: resolve and
// stored_result, which hold the guard themselves for short steps because
// they compare keys with the guard let go, and the collector's traverse
// and teardown, which run where nothing else can reach the store.
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
#include <optional>
#include <span>
#include <variant>
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
  // Makes room for that many more references, so that adding them cannot
  // fail.
  void make_room(std::size_t references);

 private:
  struct Lists {
    std::vector<Ref> references;
    std::vector<CallKey> keys;
  };
  Lists& lists();
  std::unique_ptr<Lists> lists_;
};

class StoreAccess;

// ------------------------------------------- the first step's exchange
//
// The first step of a call asks the store, under the guard, what to do. The
// store answers with an outcome (Hit, Run) or with what it needs to know
// first (Need), which only code run with the guard let go can tell; the
// caller learns it into Known and asks again. call_protocol.hpp has the
// table of needs.

// The stored result that answers the call (a reference of its own).
struct Hit {
  Ref value;
};

// The call runs the function, as one of three kinds of run.
struct Run {
  enum class As {
    Computation,       // its result settles the node: start_computation, then finish_computation
    AsyncComputation,  // an async method's: run or joined when the coroutine is awaited
    PlainCall,         // not the node's owner: the function runs, the store is untouched
  };
  As as;
  NodeId node;
  // A computation whose caller is a running call of the same node that
  // records it as a parent (a call of itself with the same arguments).
  bool calls_itself = false;
};

// What the store needs to know before it can answer.
struct Need {
  enum class What {
    Node,          // the node of the call, by comparing keys with ==
    Dependencies,  // the nodes of the declared dependencies, for the registration
    Verdict,       // whether the caller takes over the node that `owner` registered
    AsyncCaller,   // the innermost running call of the async context
  };
  What what = What::Node;
  NodeId node = kNoNode;    // the call's node, where the store knows it
  std::uint64_t owner = 0;  // for a verdict: the node's owner
};

using Answer = std::variant<Hit, Run, Need>;

// What the caller has learned for the store between attempts; each field is
// filled by the answer to one Need.
struct Known {
  NodeId node = kNoNode;
  std::optional<std::vector<NodeId>> dependencies;
  // The owner that the verdict was given against (0 while none was), and
  // whether the caller takes the node over from it.
  std::uint64_t verdict_owner = 0;
  bool take_over = false;
  // The innermost running call of the async context; its node is kNoNode
  // where there is none.
  std::optional<CallFrame> async_caller;
};

// A computation between its two steps: its node, and where its run began
// (which tells its settling the parents it used and whether an invalidation
// reached it meanwhile).
struct Computation {
  NodeId node;
  MethodDependencyGraph::RunStart start;
};

// What finishing a computation hands back, for the caller to deal with after
// the guard is let go: the result that the stored one replaced (to release),
// and the method name of a declared dependency that had never been computed
// when the node settled (the node is then never cached).
struct Finished {
  Ref replaced;
  Ref uncomputed_dependency;
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
  // One slot of the table of node ids by call hash.
  struct Slot {
    NodeId node;
    std::uint32_t hash_bits;  // the hash's upper half, told apart before the key
  };
  static std::uint32_t hash_bits(Py_hash_t hash) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
  }

  // ------------------------------------------------------- finding a node

  enum class IfMissing { Leave, Add };
  // The node whose key equals the call, found with the guard let go for
  // every comparison of keys that could run Python code (a value's __eq__):
  // under the guard the candidates are copied out, and compared after. When
  // there is none: kNoNode, or, with IfMissing::Add, a new unregistered node.
  // Holds the guard itself.
  NodeId resolve(const BoundCall& call, PyThreadState* thread, IfMissing if_missing);
  // The stored result of the call if its node is Valid and holds one, else
  // an empty handle; the node is found as resolve finds it. Holds the guard
  // itself.
  Ref stored_result(const BoundCall& call, PyThreadState* thread);

  // ------------------------------------------------ the cached call protocol

  // The common hit, told inline: the call's node (in its first slot, holding
  // the call's very objects) is `record`'s, Valid and holds a result, and no
  // call runs on the instance that would record the node as a parent. The
  // result is borrowed from the store; null otherwise.
  PyObject* common_hit(const StoreAccess& access, const DecoratorRecord& record,
                       const BoundCall& call) const noexcept;

  // The first step of a call of `record`'s method, under exclusive access:
  // the answer, given what the caller knows (see the exchange above).
  //
  // The results of a node belong to its owner: the first decorator that
  // registers it on this instance. A decorator that does not own the node
  // (a super() call of an overridden method, two functions with one
  // __name__) runs it as a plain call. The owner changes only on the
  // caller's verdict that the class now resolves it where it resolved the
  // owner (a method redefined at run time): the caller then takes the node
  // over, and the old result and everything computed from it become invalid.
  //
  // A Need leaves the store unchanged, or only grown by unregistered nodes.
  // Otherwise the node is registered on its first call and recorded as a
  // parent of the innermost running call on the instance when that call
  // records dependencies; then a Valid stored result is the Hit, and any
  // other case a Run.
  Answer begin(StoreAccess& access, const DecoratorRecord& record, const BoundCall& call,
               const Known& known);
  // A Run::As::Computation begins: the thread's frame for the node is
  // pushed; the caller runs the function with the guard let go, then calls
  // finish_computation.
  Computation start_computation(StoreAccess& access, const DecoratorRecord& record,
                                const Run& run);
  // The second step, after the function returned `result` (null when it
  // raised). Pops the frame. After a normal return the node of a method that
  // does not cache becomes PermanentlyInvalid, the node is settled from its
  // parents, and the result is stored if the node may keep it.
  [[nodiscard]] Finished finish_computation(StoreAccess& access, const DecoratorRecord& record,
                                            const Computation& computation, PyObject* result);

  // --------------------------------------------------- async computations

  // The node's run on `loop` that no invalidation reached since it began
  // (borrowed: the store keeps it), else null.
  PyObject* shared_run(const StoreAccess& access, NodeId node, PyObject* loop) const noexcept;
  // Notes where a computation of the node begins and, when `run` is given,
  // enters it as the node's run on `loop` in place of any earlier one;
  // without one, the computation runs inside the node's own run.
  MethodDependencyGraph::RunStart begin_async_run(StoreAccess& access, NodeId node,
                                                  PyObject* loop, PyObject* run,
                                                  bool records_dependencies);
  // Takes `run` out, where it is still the node's run on `loop`: its
  // references go to the access's release list.
  void end_async_run(StoreAccess& access, NodeId node, PyObject* loop, PyObject* run);
  // The frame of an async computation while one step of its body runs.
  void push_frame(StoreAccess& access, NodeId node, bool records_dependencies);
  void pop_frame(StoreAccess& access, NodeId node) noexcept;
  // The end of an async computation that returned `result`: as
  // finish_computation, its frame being popped already.
  [[nodiscard]] Finished finish_async(StoreAccess& access, const DecoratorRecord& record,
                                      NodeId node, const MethodDependencyGraph::RunStart& start,
                                      PyObject* result);

  // ------------------------------------------------- changes from outside

  // Whether the node was registered (by a call, or by register_for).
  bool is_registered(const StoreAccess& access, NodeId node) const noexcept;
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
  void drop_results(StoreAccess& access);

  // ---------------------------------------------------------------- reports

  // Copies of what the reports show of every registered node, with each
  // one's registered children if `with_children`.
  std::vector<NodeSnapshot> snapshot(const StoreAccess& access, bool with_children) const;

  // -------------------------------------------- garbage collector support

  // Both run where nothing else can reach the store (the collector's
  // traverse and clear, the deallocation), and take no access.
  int traverse(visitproc visit, void* arg) const noexcept;
  // Moves every node out of the store (left empty and consistent) into
  // `released`, for the caller to drop.
  void tear_down(std::vector<StoredNode>& released) noexcept;

  // The invariants of the head of this file; a no-op unless assertions are
  // on.
  void check_invariants() const noexcept;

 private:
  friend class StoreAccess;

  // Asserts that `access` holds this store's guard (exclusively, if asked).
  void expect(const StoreAccess& access, Access mode) const noexcept;

  // The result of the node if it is Valid and holds one, else null.
  PyObject* servable_value(NodeId node) const noexcept;
  // The node whose key equals the call, where that is told without running
  // Python code; kNoNode when there is none, or when a key must be compared
  // with the guard let go (then `uncertain`, if given, is set).
  NodeId find_without_python(const BoundCall& call, bool* uncertain = nullptr) const;
  // The node in the call's first slot if it holds the call's very objects.
  NodeId find_inline(const BoundCall& call) const noexcept {
    if (slots_.empty()) {
      return kNoNode;
    }
    const Slot slot = slots_[static_cast<std::size_t>(call.hash) & mask_];
    if (slot.node != kNoNode && slot.hash_bits == hash_bits(call.hash) &&
        nodes_[slot.node].key.hash() == call.hash &&
        nodes_[slot.node].key.holds_the_very_objects_of(call)) {
      return slot.node;
    }
    return kNoNode;
  }
  // Copies of the keys of the nodes whose hash is the call's.
  void copy_candidates(const BoundCall& call, std::vector<std::pair<NodeId, CallKey>>& out) const;
  // Adds an unregistered node for a call that has none.
  NodeId add_node(const BoundCall& call);
  void grow_table();
  void insert_slot(NodeId node) noexcept;

  // The parts of begin: for a node that is new, unregistered or owned by
  // another decorator; and once the node is known to be the record's.
  Answer begin_unowned(StoreAccess& access, const DecoratorRecord& record, const BoundCall& call,
                       NodeId node, const Known& known);
  Answer begin_owned(StoreAccess& access, const DecoratorRecord& record, NodeId node,
                     const Known& known);
  // The nodes of the record's declared dependencies, where they are found
  // without running Python code (a missing one is added); false otherwise.
  bool declared_nodes(const DecoratorRecord& record, std::vector<NodeId>& out);
  void register_node(StoreAccess& access, NodeId node, const BoundCall* call,
                     const DecoratorRecord& record, std::span<const NodeId> dependencies);
  // The call that a call is made from: the thread's innermost running call
  // on this instance, else that of the async context (from `known`); null
  // when there is none, or when the async context must be looked up first
  // (then `unknown`).
  const CallFrame* caller_of(PyThreadState* thread, const Known& known, bool& unknown) const;
  const CallFrame* innermost_frame(PyThreadState* thread) const noexcept;
  void remove_frame(PyThreadState* thread, NodeId node) noexcept;
  // Settles the node after a computation that began at `start` returned
  // `result`, and stores the result if the node may keep it.
  Finished settle_and_store(const DecoratorRecord& record, NodeId node,
                            const MethodDependencyGraph::RunStart& start, PyObject* result);

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
  // Lets the guard go; the release list, a member, ends afterwards. A thread
  // that the exiting interpreter is ending leaves the guard held: nothing is
  // touched without the interpreter lock (interpreter_exit.hpp).
  ~StoreAccess() {
    if (may_touch_python()) {
      store_.check_invariants();
      store_.guard_.release(access_);
    }
  }

  PyThreadState* thread() const noexcept { return thread_; }
  ReleaseList& released() noexcept { return released_; }
  // Whether this access holds `store`'s guard in a mode that allows `mode`.
  bool holds(const InstanceStore& store, Access mode) const noexcept {
    return &store_ == &store && (mode == Access::Shared || access_ == Access::Exclusive);
  }

 private:
  InstanceStore& store_;
  Access access_;
  PyThreadState* thread_;
  ReleaseList released_;
};

inline void InstanceStore::expect([[maybe_unused]] const StoreAccess& access,
                                  [[maybe_unused]] Access mode) const noexcept {
  assert(access.holds(*this, mode) && guard_.is_held());
}

inline PyObject* InstanceStore::servable_value(NodeId node) const noexcept {
  return graph_.state_of(node) == ValidationState::Valid ? nodes_[node].value.get() : nullptr;
}

inline PyObject* InstanceStore::common_hit(const StoreAccess& access,
                                           const DecoratorRecord& record,
                                           const BoundCall& call) const noexcept {
  expect(access, Access::Shared);
  if (!frames_.empty() || !async_runs_.empty()) {
    return nullptr;  // a running call may record the node as its parent
  }
  const NodeId node = find_inline(call);
  return node != kNoNode && nodes_[node].owner == record.serial ? servable_value(node) : nullptr;
}

#ifdef NDEBUG
inline void InstanceStore::check_invariants() const noexcept {}
#endif

}  // namespace quarrine
