// QuarrineBase, the base class of user classes, and the store that each
// instance carries: the calls known to the instance (identified by their
// call keys), their stored results, their dependency graph, the cached calls
// running on each thread, and the access guard that serialises the store.
//
// The store owns every stored result and every call key. It is reached only
// through its instance, with the interpreter lock held; any step that may run
// Python code (a value's __eq__, a finaliser) leaves it consistent first.
#pragma once

#include "dependency_graph.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace quarrine {

enum class Access { Shared, Exclusive };

// A shared/exclusive flag over one instance's store. A conflicting request
// from the thread that holds the guard (re-entrance, for instance from a
// __hash__ run while the store is held) fails at once with RuntimeError
// "Already borrowed" (exclusive refused) or "Already mutably borrowed"
// (shared refused). A conflicting request from another thread waits, with
// the interpreter lock released, until the guard is let go. A holder never
// waits for a thread that wants the guard, so the wait always ends.
class AccessGuard {
 public:
  void acquire(Access access, PyThreadState* thread);
  void release(Access access, PyThreadState* thread) noexcept;

 private:
  bool held_by(PyThreadState* thread) const noexcept;
  void wait_for_release();

  // 0 when free, -1 while held exclusively, n > 0 while n holds are shared.
  // Changed only with the interpreter lock held.
  Py_ssize_t state_ = 0;
  PyThreadState* exclusive_holder_ = nullptr;
  std::vector<PyThreadState*> shared_holders_;  // one entry per shared hold
  std::uint32_t waiters_ = 0;
  std::atomic<std::uint64_t> releases_{0};
};

// One cached call running on an instance: on which thread, for which node,
// and whether the cached calls it makes are recorded as its parents.
struct CallFrame {
  PyThreadState* thread;
  NodeId node;
  bool records_dependencies;
};

class InstanceStore {
 public:
  static constexpr NodeId kNoNode = UINT32_MAX;

  AccessGuard guard;
  MethodDependencyGraph graph;

  // The node whose call key equals the call, or kNoNode. Comparing keys may
  // run the values' __eq__; the store must be held.
  NodeId find(const BoundCall& call) const;
  // The same, adding an unregistered node (with a key built from the call)
  // when there is none. `added` tells which happened.
  NodeId find_or_add(const BoundCall& call, bool* added = nullptr);

  // A node is registered once a call of it went through the call protocol;
  // only registered nodes appear in the reports.
  bool is_registered(NodeId node) const noexcept { return nodes_[node].registered; }
  // Registers the node for its first call, with the nodes of its declared
  // dependencies. A key that stood for the node before (from a declaration
  // or an update) is replaced by the call's own and handed back.
  CallKey register_call(NodeId node, const BoundCall& call, bool key_is_from_call,
                        std::span<const NodeId> declared);

  PyObject* value(NodeId node) const noexcept { return nodes_[node].value.get(); }
  // The stored result if the node is Valid and holds one, else null.
  PyObject* servable_value(NodeId node) const noexcept;
  // Stores `value` and hands back the result it replaces (to be released
  // once the guard is let go).
  Ref replace_value(NodeId node, Ref value) noexcept;
  // Empties every stored result, handing them back.
  std::vector<Ref> take_values();
  std::size_t node_count() const noexcept { return nodes_.size(); }

  // The report key of a node: its method name when its call has no
  // arguments, else its whole call key.
  Ref report_key(NodeId node) const { return nodes_[node].key.report_key(); }

  // The innermost cached call of `thread` on this instance, or null.
  const CallFrame* innermost_frame(PyThreadState* thread) const noexcept;
  void push_frame(const CallFrame& frame);
  void pop_frame(PyThreadState* thread, NodeId node) noexcept;

  // Garbage collector support.
  int traverse(visitproc visit, void* arg) const;
  // What the store holds for one node: its call key, its stored result (if
  // any), and whether a call of it went through the call protocol.
  struct Node {
    CallKey key;
    Ref value;
    bool registered = false;
  };
  // Moves every reference out of the store (left empty and consistent) into
  // `released`, for the caller to drop.
  void clear_into(std::vector<Node>& released) noexcept;

 private:
  struct Slot {
    NodeId node;
    std::uint32_t hash_bits;
  };
  void grow_table();
  void insert_slot(NodeId node) noexcept;

  // Open-addressing table of node ids by call hash (linear probing).
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::vector<Node> nodes_;  // indexed by node id
  std::vector<CallFrame> frames_;
};

// Holds an instance's guard for one step; the guard is let go when the hold
// ends. Declare references to release after it before the hold, so that they
// are released once the guard is free.
class StoreAccess {
 public:
  StoreAccess(InstanceStore& store, Access access, PyThreadState* thread)
      : store_(store), access_(access), thread_(thread) {
    store_.guard.acquire(access_, thread_);
  }
  StoreAccess(const StoreAccess&) = delete;
  StoreAccess& operator=(const StoreAccess&) = delete;
  ~StoreAccess() { store_.guard.release(access_, thread_); }

 private:
  InstanceStore& store_;
  Access access_;
  PyThreadState* thread_;
};

PyTypeObject* quarrine_base_type();
// The store of a QuarrineBase instance (of any subclass), else null.
InstanceStore* instance_store(PyObject* object);

}  // namespace quarrine
