// The cached call protocol. See call_protocol.hpp.
#include "call_protocol.hpp"

#include "arguments.hpp"
#include "async_call.hpp"
#include "decorator_notes.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <optional>
#include <utility>

namespace quarrine {

namespace {

using Step = InstanceStore::Computation::Step;

// The notes of a binding that failed, given the arguments as a tuple and a
// dict (made here for the vectorcall's array); the binding's exception stands
// whatever happens.
template <class Arguments>
void note_binding_failure(const DecoratorRecord& record, const Arguments& arguments,
                          const BoundCall& call) noexcept {
  Ref args;
  Ref kwargs;
  {
    PendingErrorScope pending;
    try {
      args = arguments.positional_tuple();
      kwargs = arguments.keyword_dict();
    } catch (const PyErrOccurred&) {
      return;
    }
  }
  note_binding_failure(record, args.get(), kwargs.get(), call);
}

// Binds the call to the function's parameters; a failure that the instance
// explains gains a note.
template <class Arguments>
void bind_call(const DecoratorRecord& record, const Arguments& arguments, BoundCall& call) {
  try {
    record.binder->bind(arguments, call);
  } catch (const PyErrOccurred&) {
    note_binding_failure(record, arguments, call);
    throw;
  }
}

// The names under which the record's decorator is looked up in a class.
std::vector<Ref> lookup_names(const DecoratorRecord& record) {
  std::vector<Ref> names;
  for (const Ref& name : record.attribute_names) {
    names.push_back(Ref::borrow(name.get()));
  }
  if (names.empty()) {
    names.push_back(Ref::borrow(record.method_name_object.get()));
  }
  return names;
}

// Whether `caller` takes over a node that the decorator with serial `owner`
// registered: the instance's class, looked up under the owner's attribute
// names, now resolves the caller rather than the owner (a method redefined
// at run time). With the owner gone, under the caller's own names.
bool takes_over(const DecoratorRecord& caller, std::uint64_t owner, PyObject* instance) {
  const DecoratorRecord* owner_record = live_decorator(owner);
  // Copied: the lookups may run code that lets the owner go.
  std::vector<Ref> names = lookup_names(owner_record != nullptr ? *owner_record : caller);
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(instance));
  for (const Ref& name : names) {
    Ref resolved = attribute_if_present(type, name.get());
    const DecoratorRecord* found = resolved ? decorator_record(resolved.get()) : nullptr;
    if (found != nullptr && found->serial == owner) {
      return false;
    }
    if (found == &caller) {
      return true;
    }
  }
  return false;
}

// A dependency read from the source, as the call of the cached method that
// the instance's class holds under its name; false when it holds none.
bool view_source_dependency(const CallKey& key, PyObject* instance, BoundCall& out) {
  Ref attribute =
      attribute_if_present(reinterpret_cast<PyObject*>(Py_TYPE(instance)), key.method_name());
  const DecoratorRecord* target = attribute ? decorator_record(attribute.get()) : nullptr;
  if (target == nullptr) {
    return false;  // a plain method has no stored result
  }
  PyObject* name = target->method_name_object.get();
  bind_keywords(name, nullptr, out);
  out.keep(Ref::borrow(name));
  return true;
}

// The innermost running async call on the instance in the current context,
// into the plan.
void find_async_caller(PyObject* instance, PyThreadState* thread, CallPlan& plan) {
  NodeId node = CallPlan::kNoNode;
  bool records = false;
  if (async_caller(instance, node, records)) {
    plan.async_caller = {thread, node, records};
  }
  plan.async_caller_known = true;
}

// The coroutine of an async method's call: the stored result, or the
// computation, which runs or joins a run when it is awaited.
template <class Arguments>
Ref async_call(PyObject* decorator, PyObject* instance, InstanceStore& store,
               const InstanceStore::Computation& computation, Ref stored,
               const Arguments& arguments) {
  if (stored) {
    return async_result(stored.get());
  }
  return async_computation(decorator, instance, store, computation.node,
                           arguments.positional_tuple(), arguments.keyword_dict());
}

// Learns, with the guard let go, what the store's last answer asks for;
// false when the answer is final.
bool learn(const InstanceStore::Computation& computation, DecoratorRecord& record,
           InstanceStore& store, PyObject* instance, const BoundCall& call,
           PyThreadState* thread, CallPlan& plan) {
  switch (computation.step) {
    case Step::Compute:
    case Step::Plain:
    case Step::Await:
      return false;
    case Step::TooDeep:
      raise_error(PyExc_RecursionError,
                  "maximum recursion depth exceeded in a cached method (native stack nearly "
                  "exhausted)");
    case Step::FindNode:
      plan.node = store.resolve(call, thread, /*add=*/true);
      return true;
    case Step::FindDependencies:
      plan.dependencies = find_dependency_nodes(record, store, instance, thread);
      plan.dependencies_known = true;
      break;
    case Step::FindOwner:
      plan.take_over = takes_over(record, computation.owner, instance);
      plan.verdict_owner = computation.owner;
      break;
    case Step::FindAsyncCaller:
      find_async_caller(instance, thread, plan);
      break;
  }
  plan.node = computation.node;
  return true;
}

// The first step, repeated until the store can decide. Returns the stored
// result of a hit; otherwise `computation` says what to do.
Ref begin_call(DecoratorRecord& record, InstanceStore& store, PyObject* instance,
               const BoundCall& call, PyThreadState* thread,
               InstanceStore::Computation& computation) {
  CallPlan plan;
  do {
    StoreAccess access(store, Access::Exclusive, thread);
    if (Ref stored = store.begin_computation(access, record, call, plan, computation)) {
      return stored;
    }
  } while (learn(computation, record, store, instance, call, thread, plan));
  return Ref();
}



// The last step: settles the node, stores the result if it may be kept,
// pops the call's frame, and hands back the result or raises the function's
// exception.
Ref finish_call(DecoratorRecord& record, InstanceStore& store, PyThreadState* thread,
                const InstanceStore::Computation& computation, Ref result) {
  Ref uncomputed_dependency;
  {
    // The function's exception, if it raised, waits aside while the
    // computation is finished, and until the result that the stored one
    // replaced is released.
    std::optional<PendingErrorScope> pending;
    if (!result) {
      pending.emplace();
    }
    InstanceStore::Finished finished;
    {
      StoreAccess access(store, Access::Exclusive, thread);
      finished = store.finish_computation(access, record, computation, result.get());
    }
    uncomputed_dependency = std::move(finished.uncomputed_dependency);
  }
  if (!result) {
    throw_python_error();
  }
  if (uncomputed_dependency) {
    warn_uncomputed_dependency(record, uncomputed_dependency.get());
  }
  return result;
}

}  // namespace

template <class Arguments>
Ref cached_call(PyObject* decorator, DecoratorRecord& record, InstanceStore& store,
                const Arguments& arguments) {
  BoundCall call;
  bind_call(record, arguments, call);
  PyThreadState* thread = PyThreadState_Get();
  InstanceStore::Computation computation;
  PyObject* instance = arguments.positional(0);
  Ref stored = begin_call(record, store, instance, call, thread, computation);
  if (record.is_coroutine && computation.step != Step::Plain) {
    return async_call(decorator, instance, store, computation, std::move(stored), arguments);
  }
  if (stored) {
    return stored;
  }
  // The call keeps its decorator alive (the decorator's call slot), and a
  // reference of its own to the function makes the call independent of the
  // decorator.
  Ref function = Ref::borrow(record.func.get());
  Ref result = arguments.call(function.get());
  if (computation.step == Step::Plain) {
    // Nothing of the store is read or changed, and the cached calls that the
    // function makes count for the innermost running cached call.
    if (!result) {
      throw_python_error();
    }
    return result;
  }
  // The function's exception, if it raised, is raised once the computation
  // is finished.
  return finish_call(record, store, thread, computation, std::move(result));
}

template Ref cached_call(PyObject*, DecoratorRecord&, InstanceStore&, const TupleArguments&);
#if Py_LIMITED_API + 0 >= 0x030C0000
template Ref cached_call(PyObject*, DecoratorRecord&, InstanceStore&, const VectorArguments&);
#endif

std::vector<NodeId> find_dependency_nodes(const DecoratorRecord& record, InstanceStore& store,
                                          PyObject* instance, PyThreadState* thread) {
  std::vector<NodeId> nodes;
  for (const CallKey& key : record.dependency_keys) {
    BoundCall dependency;
    if (!record.dependencies_from_source) {
      key.view(dependency);
    } else if (!view_source_dependency(key, instance, dependency)) {
      continue;
    }
    nodes.push_back(store.resolve(dependency, thread, /*add=*/true));
  }
  return nodes;
}

}  // namespace quarrine
