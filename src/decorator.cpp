// QuarrineDecorator: its object, descriptor operations and the cached call
// protocol, which speaks in the instance store's operations. See
// decorator.hpp.
#include "decorator.hpp"

#include "arguments.hpp"
#include "decorator_notes.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/host_services.hpp"
#include "quarrine_base.hpp"

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

DecoratorObject* as_decorator(PyObject* object) {
  return reinterpret_cast<DecoratorObject*>(object);
}

// ------------------------------------------------- cached call protocol

// A call without a QuarrineBase instance first (`first`, null for a call
// without arguments) fails; a note says what was passed and the likely cause.
[[noreturn]] void raise_missing_instance(DecoratorObject* self, PyObject* first) {
  if (first == nullptr) {
    PyErr_SetString(PyExc_ValueError, "quarrined can only be used as an instance method decorator");
  } else {
    PyErr_SetString(PyExc_TypeError, "the decorated method's class must inherit from QuarrineBase");
  }
  note_missing_instance(self->record, reinterpret_cast<PyObject*>(self), first);
  throw_python_error();
}

// The instance's store, once the call was checked to be a method call on a
// QuarrineBase instance of a decorator whose function is still there.
InstanceStore& store_of_call(DecoratorObject* self, PyObject* args) {
  const DecoratorRecord& record = self->record;
  if (PyTuple_Size(args) == 0) {
    raise_missing_instance(self, nullptr);
  }
  InstanceStore* store = instance_store(PyTuple_GetItem(args, 0));
  if (store == nullptr) {
    raise_missing_instance(self, PyTuple_GetItem(args, 0));
  }
  if (!record.func) {
    raise_error(PyExc_RuntimeError, "the decorated method was cleared by the garbage collector");
  }
  return *store;
}

// The serial of the decorator that owns the record's nodes on `instance`:
// the one its class resolves under the method name, or the record's own
// where the class resolves no decorator of that name. A class lookup, made
// only when a node is registered or when another decorator owns it (a
// super() call); never on a hit.
std::uint64_t find_owner(const DecoratorRecord& record, PyObject* instance) {
  Ref resolved = attribute_if_present(reinterpret_cast<PyObject*>(Py_TYPE(instance)),
                                      record.method_name_object.get());
  const DecoratorRecord* owner = resolved ? decorator_record(resolved.get()) : nullptr;
  if (owner == nullptr || owner->method_name != record.method_name) {
    return record.serial;
  }
  return owner->serial;
}

// The function run as a plain call: nothing of the store is read or changed,
// and the cached calls it makes count for the innermost running cached call.
Ref plain_call(const DecoratorRecord& record, PyObject* args, PyObject* kwargs) {
  Ref function = Ref::borrow(record.func.get());
  return Ref::checked(PyObject_Call(function.get(), args, kwargs));
}

// Binds the call to the function's parameters; a failure that the instance
// explains gains a note.
void bind_call(const DecoratorRecord& record, PyObject* args, PyObject* kwargs, BoundCall& call) {
  try {
    record.binder->bind(args, kwargs, call);
  } catch (const PyErrOccurred&) {
    note_binding_failure(record, args, kwargs, call);
    throw;
  }
}

// The first step: finds the node's owner, registers the node on its first
// call, records it as a parent of the innermost running call, and looks it
// up. Returns the stored result of a hit; otherwise `computation` says
// whether to compute or to run a plain call.
Ref begin_call(const DecoratorRecord& record, InstanceStore& store, PyObject* instance,
               const BoundCall& call, PyThreadState* thread,
               InstanceStore::Computation& computation) {
  // With no other decorator of the method's name alive, the owner is this
  // one whatever the class resolves: the lookup is spared.
  std::uint64_t owner = *record.namesakes == 1 ? record.serial : 0;
  for (;;) {
    {
      StoreAccess access(store, Access::Exclusive, thread);
      if (Ref stored = store.begin_computation(access, record, call, owner, computation)) {
        return stored;
      }
    }
    if (computation.step != InstanceStore::Computation::Step::FindOwner) {
      return Ref();
    }
    owner = find_owner(record, instance);
  }
}

// The last step: settles the node, stores the result if it may be kept,
// pops the call's frame, and hands back the result or raises the function's
// exception.
Ref finish_call(const DecoratorRecord& record, InstanceStore& store, PyThreadState* thread,
                const InstanceStore::Computation& computation, Ref result) {
  {
    // The function's exception, if it raised, waits aside while the
    // computation is finished, and until the references that finishing let
    // go are released.
    std::optional<PendingErrorScope> pending;
    if (!result) {
      pending.emplace();
    }
    Ref replaced;  // released after the guard is let go
    StoreAccess access(store, Access::Exclusive, thread);
    replaced = store.finish_computation(access, record, computation, result.get());
  }
  if (!result) {
    throw_python_error();
  }
  return result;
}

// The cached call protocol: bind, begin (a hit ends here), call, finish.
Ref cached_call(DecoratorObject* self, PyObject* args, PyObject* kwargs) {
  const DecoratorRecord& record = self->record;
  InstanceStore& store = store_of_call(self, args);
  BoundCall call;
  bind_call(record, args, kwargs, call);
  PyThreadState* thread = PyThreadState_Get();
  InstanceStore::Computation computation;
  if (Ref stored = begin_call(record, store, PyTuple_GetItem(args, 0), call, thread, computation)) {
    return stored;
  }
  if (computation.step == InstanceStore::Computation::Step::Plain) {
    return plain_call(record, args, kwargs);
  }
  // The call keeps its decorator alive (decorator_call), and a reference of
  // its own to the function makes the call independent of the decorator.
  Ref function = Ref::borrow(record.func.get());
  Ref result = Ref::steal(PyObject_Call(function.get(), args, kwargs));
  return finish_call(record, store, thread, computation, std::move(result));
}

// ---------------------------------------------------------------- slots

PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] {
    // A caller may hold the decorator through a borrowed pointer (property
    // calls its getter so) while the call drops the last reference to it.
    Ref keep_alive = Ref::borrow(self);
    return cached_call(as_decorator(self), args, kwargs);
  });
}

PyObject* decorator_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
  return call_boundary([&] {
    if (instance == nullptr || instance == Py_None) {
      return Ref::borrow(self);
    }
    return new_bound_method(self, instance);
  });
}

int decorator_descr_set(PyObject* self, PyObject* instance, PyObject* value) noexcept {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete descriptor");
  } else {
    PyErr_SetString(PyExc_TypeError, "cannot assign to decorated method");
    note_assignment(as_decorator(self)->record, instance);
  }
  return -1;
}

PyObject* decorator_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return call_boundary([&]() -> Ref {
    auto* type_object = reinterpret_cast<PyObject*>(type);
    Ref module = Ref::checked(PyObject_GetAttrString(type_object, "__module__"));
    Ref name = Ref::checked(PyType_GetQualName(type));
    raise_format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), name.get());
  });
}

int decorator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const DecoratorRecord& record = as_decorator(self)->record;
  Py_VISIT(record.func.get());
  Py_VISIT(record.qualname.get());
  Py_VISIT(record.module.get());
  Py_VISIT(record.doc.get());
  for (const CallKey& dependency : record.dependency_keys) {
    if (int status = dependency.traverse(visit, arg)) {
      return status;
    }
  }
  return 0;
}

// Breaks reference cycles: the function (and with it its binder), its
// metadata and the dependency keys are moved out first and released
// afterwards, so that the record is consistent whatever their finalisers do.
int decorator_clear(PyObject* self) noexcept {
  DecoratorRecord& record = as_decorator(self)->record;
  std::unique_ptr<CallBinder> binder = std::move(record.binder);
  Ref function = std::move(record.func);
  Ref metadata[] = {std::move(record.qualname), std::move(record.module), std::move(record.doc)};
  std::vector<CallKey> keys = std::move(record.dependency_keys);
  record.dependency_keys.clear();
  return 0;
}

void decorator_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  DecoratorRecord& record = as_decorator(self)->record;
  if (record.namesakes != nullptr) {
    --*record.namesakes;
  }
  record.~DecoratorRecord();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Whether the decorated function is abstract, so that a class whose cached
// method is an abstractmethod stays abstract. Read-only; the only attribute
// of the function that the decorator passes on.
PyObject* decorator_get_isabstractmethod(PyObject* self, void* /*closure*/) {
  return call_boundary([&]() -> Ref {
    PyObject* function = as_decorator(self)->record.func.get();
    if (function == nullptr) {
      return Ref::borrow(Py_False);
    }
    Ref flag = attribute_if_present(function, "__isabstractmethod__");
    const bool abstract = flag && require(PyObject_IsTrue(flag.get())) == 1;
    return Ref::borrow(abstract ? Py_True : Py_False);
  });
}

// ------------------------------------------------- the function's metadata
//
// A decorator presents its function as functools.lru_cache's wrapper does:
// the __name__, __qualname__, __module__, __doc__ and __wrapped__ recorded
// at decoration, and, read from the function at each access, the __code__,
// __defaults__, __kwdefaults__ and __annotations__ by which inspect takes it
// for a function (signatures, iscoroutinefunction). All are read-only. The
// call path reads none of them.
//
// __module__ and __doc__ cannot be getsets: PyType_FromSpec puts the type's
// own __module__ and __doc__ into the type's dict under those names, unless
// a getset already stands there, which would then answer for the type too.
// __module__ is answered by getattro. __doc__ is a descriptor in the type's
// dict (see decorator_doc_get), since pydoc reads it through
// object.__getattribute__, past getattro.

constexpr const char* kTypeName = "builtins.QuarrineDecorator";

[[noreturn]] void raise_no_attribute(const char* name) {
  raise_format(PyExc_AttributeError, "'%s' object has no attribute '%s'", kTypeName, name);
}

// A getset's closure: the attribute and the record's field that holds it.
struct RecordedAttribute {
  const char* name;
  Ref DecoratorRecord::*field;
};

const RecordedAttribute kRecordedName{"__name__", &DecoratorRecord::method_name_object};
const RecordedAttribute kRecordedQualname{"__qualname__", &DecoratorRecord::qualname};
const RecordedAttribute kRecordedWrapped{"__wrapped__", &DecoratorRecord::func};

// A recorded value; no attribute where the function had none, or where the
// collector cleared it.
PyObject* decorator_get_recorded(PyObject* self, void* closure) {
  return call_boundary([&] {
    const auto& attribute = *static_cast<const RecordedAttribute*>(closure);
    const Ref& value = as_decorator(self)->record.*attribute.field;
    if (!value) {
      raise_no_attribute(attribute.name);
    }
    return Ref::borrow(value.get());
  });
}

// The function's attribute named by the closure, read now.
PyObject* decorator_get_live(PyObject* self, void* closure) {
  return call_boundary([&] {
    const char* name = static_cast<const char*>(closure);
    Ref function = Ref::borrow(as_decorator(self)->record.func.get());
    if (!function) {
      raise_no_attribute(name);
    }
    return Ref::checked(PyObject_GetAttr(function.get(), interned(name)));
  });
}

// A decorator's __module__ is its function's; any other name is the generic
// lookup.
PyObject* decorator_getattro(PyObject* self, PyObject* name) {
  return call_boundary([&] {
    const Ref& module = as_decorator(self)->record.module;
    if (module && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, "__module__") == 0) {
      return Ref::borrow(module.get());
    }
    return Ref::checked(PyObject_GenericGetAttr(self, name));
  });
}

// The decorator type's __doc__, a non-data descriptor: a decorator's is its
// function's docstring; the type's own (type.__doc__ asks with no instance)
// stays None. Having no __set__, it leaves assignment to the generic
// setattr, which finds no instance dict and refuses.
PyObject* decorator_doc_get(PyObject* /*descriptor*/, PyObject* instance, PyObject* /*owner*/) {
  return call_boundary([&] {
    const DecoratorRecord* record = instance != nullptr ? decorator_record(instance) : nullptr;
    return Ref::borrow(record != nullptr && record->doc ? record->doc.get() : Py_None);
  });
}

PyType_Slot decorator_doc_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_doc_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec decorator_doc_spec = {
    "builtins.QuarrineDecoratorDoc", 0, 0, Py_TPFLAGS_DEFAULT, decorator_doc_slots,
};

// Puts the __doc__ descriptor into the decorator type's dict, in place of
// the None that PyType_FromSpec left there.
void install_doc_descriptor(PyTypeObject* decorator_type) {
  Ref doc_type = Ref::checked(PyType_FromSpec(&decorator_doc_spec));
  auto* type = reinterpret_cast<PyTypeObject*>(doc_type.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref descriptor = Ref::checked(alloc(type, 0));
  require(PyObject_SetAttrString(reinterpret_cast<PyObject*>(decorator_type), "__doc__",
                                 descriptor.get()));
}

void* closure_of(const RecordedAttribute& attribute) {
  return const_cast<RecordedAttribute*>(&attribute);
}

PyGetSetDef decorator_getset[] = {
    {"__isabstractmethod__", decorator_get_isabstractmethod, nullptr, nullptr, nullptr},
    {"__name__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedName)},
    {"__qualname__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedQualname)},
    {"__wrapped__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedWrapped)},
    {"__code__", decorator_get_live, nullptr, nullptr, const_cast<char*>("__code__")},
    {"__defaults__", decorator_get_live, nullptr, nullptr, const_cast<char*>("__defaults__")},
    {"__kwdefaults__", decorator_get_live, nullptr, nullptr, const_cast<char*>("__kwdefaults__")},
    {"__annotations__", decorator_get_live, nullptr, nullptr,
     const_cast<char*>("__annotations__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decorator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decorator_new)},
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_descr_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_descr_set)},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_getattro, reinterpret_cast<void*>(decorator_getattro)},
    {Py_tp_getset, decorator_getset},
    {0, nullptr},
};

PyType_Spec decorator_spec = {
    kTypeName,
    sizeof(DecoratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    decorator_slots,
};

PyTypeObject* decorator_type() {
  PyTypeObject*& type = process_state().decorator_type;
  if (type == nullptr) {
    Ref made = Ref::checked(PyType_FromSpec(&decorator_spec));
    install_doc_descriptor(reinterpret_cast<PyTypeObject*>(made.get()));
    type = reinterpret_cast<PyTypeObject*>(made.release());
  }
  return type;
}

}  // namespace

Ref new_decorator(DecoratorRecord record) {
  ProcessState& state = process_state();
  std::uint32_t& namesakes = state.decorators_by_name[record.method_name];
  PyTypeObject* type = decorator_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // No Python object is allocated between the allocation and the record's
  // construction, so the collector never sees the record unmade.
  record.serial = ++state.decorator_serials;
  record.namesakes = &namesakes;
  ++namesakes;
  new (&as_decorator(object.get())->record) DecoratorRecord(std::move(record));
  return object;
}

const DecoratorRecord* decorator_record(PyObject* object) {
  PyTypeObject* type = process_state().decorator_type;
  if (type == nullptr || !PyObject_TypeCheck(object, type)) {
    return nullptr;
  }
  return &as_decorator(object)->record;
}

}  // namespace quarrine
