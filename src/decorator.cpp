// QuarrineDecorator: record, descriptor operations and the cached call
// protocol. See decorator.hpp.
#include "decorator.hpp"

#include "py_introspection_utils/host_services.hpp"
#include "quarrine_base.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

namespace quarrine {

namespace {

struct DecoratorObject {
  PyObject_HEAD
  DecoratorRecord record;
};

DecoratorObject* as_decorator(PyObject* object) { return reinterpret_cast<DecoratorObject*>(object); }

PyTypeObject* decorator_type_ = nullptr;  // created on first use, kept for the process

// ------------------------------------------------------- native stack

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

// ------------------------------------------------- cached call protocol

// Resolves the declared dependencies of a first call to nodes (made, without
// registration, for dependencies that were never called).
std::vector<NodeId> declared_nodes(InstanceStore& store, const DecoratorRecord& record) {
  std::vector<NodeId> nodes;
  nodes.reserve(record.dependency_keys.size());
  BoundCall dependency;
  for (const CallKey& declared : record.dependency_keys) {
    declared.view(dependency);
    nodes.push_back(store.find_or_add(dependency));
  }
  return nodes;
}

Ref cached_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) {
  const DecoratorRecord& record = self->record;
  if (PyTuple_Size(args) == 0) {
    raise_error(PyExc_ValueError, "quarrined can only be used as an instance method decorator");
  }
  PyObject* instance = PyTuple_GetItem(args, 0);
  InstanceStore* found_store = instance_store(instance);
  if (found_store == nullptr) {
    raise_error(PyExc_TypeError, "the decorated method's class must inherit from QuarrineBase");
  }
  if (!record.func) {
    raise_error(PyExc_RuntimeError, "the decorated method was cleared by the garbage collector");
  }
  InstanceStore& store = *found_store;

  BoundCall call;
  record.binder->bind(args, kwargs, call);

  PyThreadState* thread = PyThreadState_Get();
  NodeId node = InstanceStore::kNoNode;
  std::uint32_t changes_at_start = 0;
  {
    CallKey replaced_key;  // released once the guard is let go
    StoreAccess access(store, Access::Exclusive, thread);
    bool added = false;
    node = store.find_or_add(call, &added);
    if (!store.is_registered(node)) {
      std::vector<NodeId> declared = declared_nodes(store, record);
      replaced_key = store.register_call(node, call, added, declared);
    }
    if (const CallFrame* caller = store.innermost_frame(thread);
        caller != nullptr && caller->records_dependencies) {
      store.graph.add_parent_dependency(caller->node, node);
    }
    if (PyObject* stored = store.servable_value(node)) {
      return Ref::borrow(stored);
    }
    if (native_stack_nearly_exhausted()) {
      raise_error(PyExc_RecursionError,
                  "maximum recursion depth exceeded in a cached method (native stack nearly exhausted)");
    }
    store.push_frame({thread, node, record.track_runtime_dependencies});
    changes_at_start = store.graph.change_count(node);
  }

  // The caller's reference keeps this decorator, and so its function, alive
  // even when the method deletes or replaces its decorator while it runs; a
  // reference of the call's own makes that independent of the decorator.
  Ref function = Ref::borrow(record.func.get());
  Ref result = Ref::steal(PyObject_Call(function.get(), args, kwargs));

  {
    // The function's exception, if it raised, waits aside while the frame is
    // popped.
    std::optional<PendingErrorScope> pending;
    if (!result) {
      pending.emplace();
    }
    Ref replaced_value;  // released once the guard is let go
    StoreAccess access(store, Access::Exclusive, thread);
    store.pop_frame(thread, node);
    if (result) {
      if (!record.use_cache) {
        store.graph.permanently_invalidate(node);
      }
      if (store.graph.settle_after_call(node, changes_at_start)) {
        replaced_value = store.replace_value(node, Ref::borrow(result.get()));
      }
    }
  }
  if (!result) {
    throw_python_error();
  }
  return result;
}

// ---------------------------------------------------------------- slots

PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return cached_call(as_decorator(self), args, kwargs); });
}

PyObject* decorator_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
  return call_boundary([&] {
    if (instance == nullptr || instance == Py_None) {
      return Ref::borrow(self);
    }
    return new_bound_method(self, instance);
  });
}

int decorator_descr_set(PyObject* /*self*/, PyObject* /*instance*/, PyObject* value) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete descriptor");
  } else {
    PyErr_SetString(PyExc_TypeError, "cannot assign to decorated method");
  }
  return -1;
}

PyObject* decorator_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return call_boundary([&]() -> Ref {
    auto* type_object = reinterpret_cast<PyObject*>(type);
    Ref module = Ref::checked(PyObject_GetAttrString(type_object, "__module__"));
    Ref name = Ref::checked(PyType_GetQualName(type));
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), name.get());
    throw PyErrOccurred{};
  });
}

int decorator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const DecoratorRecord& record = as_decorator(self)->record;
  Py_VISIT(record.func.get());
  for (const CallKey& dependency : record.dependency_keys) {
    if (int status = dependency.traverse(visit, arg)) {
      return status;
    }
  }
  return 0;
}

// Breaks reference cycles: the function (and with it its binder) and the
// dependency keys are moved out first and released afterwards, so that the
// record is consistent whatever their finalisers do.
int decorator_clear(PyObject* self) {
  DecoratorRecord& record = as_decorator(self)->record;
  std::unique_ptr<CallBinder> binder = std::move(record.binder);
  Ref function = std::move(record.func);
  std::vector<CallKey> keys = std::move(record.dependency_keys);
  record.dependency_keys.clear();
  return 0;
}

void decorator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_decorator(self)->record.~DecoratorRecord();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyType_Slot decorator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decorator_new)},
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_descr_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_descr_set)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {0, nullptr},
};

PyType_Spec decorator_spec = {
    "builtins.QuarrineDecorator",
    sizeof(DecoratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    decorator_slots,
};

PyTypeObject* decorator_type() {
  if (decorator_type_ == nullptr) {
    decorator_type_ = reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&decorator_spec)).release());
  }
  return decorator_type_;
}

}  // namespace

Ref new_decorator(DecoratorRecord record) {
  PyTypeObject* type = decorator_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // No Python object is allocated between the allocation and the record's
  // construction, so the collector never sees the record unmade.
  new (&as_decorator(object.get())->record) DecoratorRecord(std::move(record));
  return object;
}

const DecoratorRecord* decorator_record(PyObject* object) {
  if (decorator_type_ == nullptr || !PyObject_TypeCheck(object, decorator_type_)) {
    return nullptr;
  }
  return &as_decorator(object)->record;
}

}  // namespace quarrine
