// The cached call protocol. See call_protocol.hpp.
#include "call_protocol.hpp"

#include "arguments.hpp"
#include "async_call.hpp"
#include "decorator_notes.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

namespace quarrine {

namespace {

// The notes of a binding that failed, given the arguments as a tuple and a
// dict (made here for the vectorcall's array); the binding's exception stands
// whatever happens.
template <class Arguments>
void explain_binding_failure(const DecoratorRecord& record, const Arguments& arguments,
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
    explain_binding_failure(record, arguments, call);
    throw;
  }
}

// ------------------------------------------------------ the store's needs

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

// The innermost running async call on the instance in the current context.
CallFrame find_async_caller(PyObject* instance, PyThreadState* thread) {
  CallFrame frame{thread, kNoNode, false};
  async_caller(instance, frame.node, frame.records_dependencies);
  return frame;
}

// Answers what the store needs, with the guard let go (the table in
// call_protocol.hpp).
void learn(const Need& need, const DecoratorRecord& record, InstanceStore& store,
           PyObject* instance, const BoundCall& call, PyThreadState* thread, Known& known) {
  known.node = need.node;
  switch (need.what) {
    case Need::What::Node:
      known.node = store.resolve(call, thread, InstanceStore::IfMissing::Add);
      return;
    case Need::What::Dependencies:
      known.dependencies = find_dependency_nodes(record, store, instance, thread);
      return;
    case Need::What::Verdict:
      known.take_over = takes_over(record, need.owner, instance);
      known.verdict_owner = need.owner;
      return;
    case Need::What::AsyncCaller:
      known.async_caller = find_async_caller(instance, thread);
      return;
  }
}

// The first step: asks the store until it can answer with an outcome.
Answer first_step(const DecoratorRecord& record, InstanceStore& store, PyObject* instance,
                  const BoundCall& call, PyThreadState* thread) {
  Known known;
  for (;;) {
    Need need;
    {
      StoreAccess access(store, Access::Exclusive, thread);
      Answer answer = store.begin(access, record, call, known);
      const Need* asked = std::get_if<Need>(&answer);
      if (asked == nullptr) {
        return answer;
      }
      need = *asked;
    }
    learn(need, record, store, instance, call, thread, known);
  }
}

// ------------------------------------------------------------- the runs

// The address below which a thread's native stack is too close to its end
// for another cached computation: a quarter of the stack, at most 1 MiB,
// which leaves the interpreter's own frames and the user's function room
// to fail with RecursionError themselves.
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

// Raises RecursionError where the native stack has no room for another
// cached computation.
void require_stack_room() {
  thread_local const std::uintptr_t limit = compute_stack_limit();
  char marker = 0;
  if (reinterpret_cast<std::uintptr_t>(&marker) < limit) {
    raise_error(PyExc_RecursionError,
                "maximum recursion depth exceeded in a cached method (native stack nearly "
                "exhausted)");
  }
}

// The function run as a plain call: nothing of the store is read or
// changed, and the cached calls that it makes count for the innermost
// running cached call.
template <class Arguments>
Ref call_plainly(const DecoratorRecord& record, const Arguments& arguments) {
  Ref function = Ref::borrow(record.func.get());
  Ref result = arguments.call(function.get());
  if (!result) {
    throw_python_error();
  }
  return result;
}

// The last step: settles the node, stores the result if it may be kept,
// pops the call's frame, and hands back the result or raises the function's
// exception.
Ref finish_call(DecoratorRecord& record, InstanceStore& store, PyThreadState* thread,
                const Computation& computation, Ref result) {
  Ref uncomputed_dependency;
  {
    // The function's exception, if it raised, waits aside while the
    // computation is finished, and until the result that the stored one
    // replaced is released.
    std::optional<PendingErrorScope> pending;
    if (!result) {
      pending.emplace();
    }
    Finished finished;
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

// A computation: its frame pushed, the function run with nothing held, the
// node settled.
template <class Arguments>
Ref compute(DecoratorRecord& record, InstanceStore& store, PyThreadState* thread, const Run& run,
            const Arguments& arguments) {
  require_stack_room();
  const Computation computation = [&] {
    StoreAccess access(store, Access::Exclusive, thread);
    return store.start_computation(access, record, run);
  }();
  // The call keeps its decorator alive (the decorator's call slot), and a
  // reference of its own to the function makes the call independent of the
  // decorator.
  Ref function = Ref::borrow(record.func.get());
  Ref result = arguments.call(function.get());
  // The function's exception, if it raised, is raised once the computation
  // is finished.
  return finish_call(record, store, thread, computation, std::move(result));
}

// The coroutine of an async method's call: the stored result, or the
// computation, which runs or joins a run when it is awaited.
template <class Arguments>
Ref async_call(PyObject* decorator, PyObject* instance, InstanceStore& store, const Answer& answer,
               const Arguments& arguments) {
  if (const Hit* hit = std::get_if<Hit>(&answer)) {
    return async_result(hit->value.get());
  }
  return async_computation(decorator, instance, store, std::get<Run>(answer).node,
                           arguments.positional_tuple(), arguments.keyword_dict());
}

// The common hit, told under the guard without the exchange.
PyObject* look_up(const DecoratorRecord& record, InstanceStore& store, const BoundCall& call,
                  PyThreadState* thread) {
  StoreAccess access(store, Access::Shared, thread);
  PyObject* stored = store.common_hit(access, record, call);
  return stored != nullptr ? Ref::borrow(stored).release() : nullptr;
}

}  // namespace

template <class Arguments>
Ref cached_call(PyObject* decorator, DecoratorRecord& record, InstanceStore& store,
                const Arguments& arguments) {
  BoundCall call;
  bind_call(record, arguments, call);
  PyThreadState* thread = PyThreadState_Get();
  if (!record.is_coroutine) {
    if (PyObject* stored = look_up(record, store, call, thread)) {
      return Ref::steal(stored);
    }
  }
  PyObject* instance = arguments.positional(0);
  Answer answer = first_step(record, store, instance, call, thread);
  const Run* run = std::get_if<Run>(&answer);
  if (run != nullptr && run->as == Run::As::PlainCall) {
    return call_plainly(record, arguments);
  }
  if (record.is_coroutine) {
    return async_call(decorator, instance, store, answer, arguments);
  }
  if (run == nullptr) {
    return std::move(std::get<Hit>(answer).value);
  }
  return compute(record, store, thread, *run, arguments);
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
    nodes.push_back(store.resolve(dependency, thread, InstanceStore::IfMissing::Add));
  }
  return nodes;
}

}  // namespace quarrine
