// The store that each QuarrineBase instance carries, and the operations in
// which the cached call protocol and the base class's methods change it
// under the store's access guard (access_guard.hpp).
//
// The store owns every stored result and every call key of its instance, and
// the instance's dependency graph. It is reached only through its instance,
// with the interpreter lock held, and changed only by the operations below,
// each under a held StoreAccess. An operation leaves the store consistent
// before any step that may run Python code (a value's __eq__, a finaliser),
// and hands the references it takes out of the store to the access, which
// releases them after the guard is let go.
#pragma once

#include "access_guard.hpp"
#include "decorator_record.hpp"
#include "dependency_graph.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

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

class InstanceStore {
 public:
  static constexpr NodeId kNoNode = UINT32_MAX;

  // ------------------------------------------- the cached call protocol

  // What the first step of a call decided, and, for a computation, where it
  // stands between its two steps.
  struct Computation {
    enum class Step {
      Compute,     // run the function, then finish_computation
      Plain,       // not the node's owner: run the function as a plain call
      FindOwner,   // the node's owner must be found first (see below)
    };
    Step step = Step::Compute;
    NodeId node = kNoNode;
    MethodDependencyGraph::RunStart start;
  };

  // The first step of a call of `record`'s method, under exclusive access.
  //
  // The results of a node belong to its owner: the decorator that the
  // instance's class resolves under the method name, or, where it resolves
  // none, the first decorator that registers the node. `owner` is the owner
  // that the caller looked up (0 while it is not known). A node that is not
  // registered, or that another decorator owns, gives Step::FindOwner while
  // the owner is not known, with the store unchanged: the caller looks the
  // owner up with the guard let go and calls again. A call by a decorator
  // that does not own the node (a super() call of an overridden method, two
  // functions with one __name__) then touches nothing: Step::Plain. A
  // decorator that the class has come to resolve since the node was
  // registered (a method redefined at run time) takes the node over: its
  // old result and everything computed from it become invalid.
  //
  // Otherwise finds the call's node, registering it with its declared
  // dependencies on its first call, and records it as a parent of the
  // thread's innermost running call on this instance when that call records
  // dependencies. If the node is Valid and holds a result, returns that
  // result. Otherwise pushes the thread's frame for the node, notes where
  // the computation stands in `computation` and returns an empty handle: the
  // caller runs the function with the guard let go, then calls
  // finish_computation.
  Ref begin_computation(StoreAccess& access, const DecoratorRecord& record, const BoundCall& call,
                        std::uint64_t owner, Computation& computation);
  // The second step, under exclusive access, after the function returned
  // `result` (null when it raised). Pops the frame. After a normal return the
  // node of a method that does not cache becomes PermanentlyInvalid, the
  // node is settled from its parents, and the result is stored if the node
  // may keep it. Returns the result that the stored one replaced (most
  // recomputations replace one), for the caller to release after the guard
  // is let go; the release list would make room for it on the heap.
  [[nodiscard]] Ref finish_computation(StoreAccess& access, const DecoratorRecord& record,
                                       const Computation& computation, PyObject* result);

  // ------------------------------------------- changes from outside

  // update_cached_value: every result computed from the call's becomes
  // Invalid, and the call's node holds `value` and is Valid (when its state
  // allows).
  void update_value(StoreAccess& access, const BoundCall& call, PyObject* value);
  // load_cache: the call's node holds `value`; states and edges stay.
  void load_value(StoreAccess& access, const BoundCall& call, PyObject* value);
  // clear_cache: every Valid node becomes Invalid and every stored result is
  // let go; nodes and edges stay.
  void clear(StoreAccess& access);

  // ------------------------------------------------------------ queries

  // The node whose call key equals the call, or kNoNode. Comparing keys may
  // run the values' __eq__; the store must be held.
  NodeId find(const BoundCall& call) const;
  // A node is registered once a call of it went through the call protocol;
  // only registered nodes appear in the reports.
  bool is_registered(NodeId node) const noexcept { return graph_.is_registered(node); }
  PyObject* value(NodeId node) const noexcept { return nodes_[node].value.get(); }
  // The stored result if the node is Valid and holds one, else null.
  PyObject* servable_value(NodeId node) const noexcept;
  std::size_t node_count() const noexcept { return nodes_.size(); }
  // The report key of a node: its method name when its call has no
  // arguments, else its whole call key.
  Ref report_key(NodeId node) const { return nodes_[node].key.report_key(); }
  const MethodDependencyGraph& graph() const noexcept { return graph_; }

  // ------------------------------------------ garbage collector support

  int traverse(visitproc visit, void* arg) const noexcept;
  // Moves every node out of the store (left empty and consistent) into
  // `released`, for the caller to drop. The collector's clear and the
  // deallocation hold no guard: nothing else can reach the store then.
  void clear_into(std::vector<StoredNode>& released) noexcept;

 private:
  friend class StoreAccess;

  struct Slot {
    NodeId node;
    std::uint32_t hash_bits;
  };
  // The same as find, adding an unregistered node (with a key built from the
  // call) when there is none. `added` tells which happened.
  NodeId find_or_add(const BoundCall& call, bool* added = nullptr);
  // Adds an unregistered node for a call that has none.
  NodeId add(const BoundCall& call);
  // Registers the node for its first call, with the nodes of the record's
  // declared dependencies. A key that stood for the node before (from a
  // declaration or an update) is replaced by the call's own and released.
  void register_call(StoreAccess& access, NodeId node, const BoundCall& call, bool key_is_from_call,
                     const DecoratorRecord& record);
  // The part of begin_computation after the node is known to be the record's.
  Ref begin_owned(StoreAccess& access, const DecoratorRecord& record, NodeId node,
                  Computation& computation);
  const CallFrame* innermost_frame(PyThreadState* thread) const noexcept;
  void pop_frame(PyThreadState* thread, NodeId node) noexcept;
  void grow_table();
  void insert_slot(NodeId node) noexcept;

  AccessGuard guard_;
  MethodDependencyGraph graph_;
  // Open-addressing table of node ids by call hash (linear probing).
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::vector<StoredNode> nodes_;  // indexed by node id
  std::vector<CallFrame> frames_;
};

// Holds an instance's guard for one step. The references that the step
// takes out of the store go into its release list, which ends after the
// guard is let go: whatever their release runs finds the store free.
class StoreAccess {
 public:
  StoreAccess(InstanceStore& store, Access access, PyThreadState* thread)
      : store_(store), access_(access), thread_(thread) {
    store_.guard_.acquire(access_, thread_);
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
      store_.guard_.release(access_, thread_);
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
