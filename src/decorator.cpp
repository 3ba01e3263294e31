// QuarrineDecorator: its type, descriptor operations and call. See
// decorator.hpp.
#include "decorator.hpp"

#include "call_protocol.hpp"
#include "decorator_notes.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/host_services.hpp"
#include "quarrine_base.hpp"

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace quarrine {

namespace {

constexpr const char* kTypeName = "builtins.QuarrineDecorator";

DecoratorObject* as_decorator(PyObject* object) {
  return reinterpret_cast<DecoratorObject*>(object);
}

// A call without a QuarrineBase instance first (`first`, null for a call
// without arguments) fails; a note says what was passed and the likely cause.
[[noreturn]] void raise_missing_instance(PyObject* self, PyObject* first) {
  if (first == nullptr) {
    PyErr_SetString(PyExc_ValueError, "quarrined can only be used as an instance method decorator");
  } else {
    PyErr_SetString(PyExc_TypeError, "the decorated method's class must inherit from QuarrineBase");
  }
  note_missing_instance(as_decorator(self)->record, self, first);
  throw_python_error();
}

// The instance's store, once the call was checked to be a method call on a
// QuarrineBase instance of a decorator whose function is still there.
template <class Arguments>
StoreHandle store_of_call(PyObject* self, const Arguments& arguments) {
  if (arguments.positional_count() == 0) {
    raise_missing_instance(self, nullptr);
  }
  StoreHandle store = store_of(arguments.positional(0));
  if (!store) {
    raise_missing_instance(self, arguments.positional(0));
  }
  const DecoratorRecord& record = as_decorator(self)->record;
  if (!record.func) {
    raise_error(PyExc_RuntimeError, "the decorated method was cleared by the garbage collector");
  }
  return store;
}

// Checks the call and runs the cached call protocol.
template <class Arguments>
Ref call_decorator(PyObject* self, const Arguments& arguments) {
  // A caller may hold the decorator through a borrowed pointer (property
  // calls its getter so) while the call drops the last reference to it.
  Ref keep_alive = Ref::borrow(self);
  DecoratorRecord& record = as_decorator(self)->record;
  // The handle keeps the store for the whole call.
  StoreHandle store = store_of_call(self, arguments);
  return cached_call(self, record, *store, arguments);
}

// ---------------------------------------------------------------- slots

PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return call_decorator(self, TupleArguments(args, kwargs)); });
}

#if Py_LIMITED_API + 0 >= 0x030C0000
PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) {
  return call_boundary(
      [&] { return call_decorator(self, VectorArguments(args, nargsf, kwnames)); });
}

PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(DecoratorHead, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

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
  PyObject_GC_UnTrack(self);
  DecoratorRecord& record = as_decorator(self)->record;
  delist_decorator(record);
  record.~DecoratorRecord();
  free_instance(self);
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
// __module__ cannot be a getset: PyType_FromSpec puts the type's own
// __module__ into the type's dict unless a getset already stands there,
// which would then answer for the type too; getattro answers it. __doc__ is
// a getset (pydoc reads it through object.__getattribute__, past getattro),
// and the type, immutable, cannot be given another descriptor after it is
// made: QuarrineDecorator.__doc__ is therefore that getset.

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

// A decorator's __doc__: its function's docstring at decoration, or None.
PyObject* decorator_get_doc(PyObject* self, void* /*closure*/) {
  return call_boundary([&] {
    const Ref& doc = as_decorator(self)->record.doc;
    return Ref::borrow(doc ? doc.get() : Py_None);
  });
}

void* closure_of(const RecordedAttribute& attribute) {
  return const_cast<RecordedAttribute*>(&attribute);
}

// Notes the name under which a class holds the decorator (type.__new__
// calls it for each name of the class body): where the class is looked up
// when another decorator's call meets a node that this one owns.
PyObject* decorator_set_name(PyObject* self, PyObject* args) {
  return call_boundary([&]() -> Ref {
    PyObject* owner = nullptr;
    PyObject* name = nullptr;
    if (!PyArg_UnpackTuple(args, "__set_name__", 2, 2, &owner, &name)) {
      throw_python_error();
    }
    if (!PyUnicode_Check(name)) {
      raise_wrong_type(name, "str");
    }
    std::vector<Ref>& names = as_decorator(self)->record.attribute_names;
    for (const Ref& known : names) {
      if (PyUnicode_Compare(known.get(), name) == 0) {
        return Ref::borrow(Py_None);
      }
    }
    PyObject* interned_name = Ref::borrow(name).release();
    PyUnicode_InternInPlace(&interned_name);  // takes over the reference
    names.push_back(Ref::steal(interned_name));
    return Ref::borrow(Py_None);
  });
}

PyMethodDef decorator_methods[] = {
    {"__set_name__", decorator_set_name, METH_VARARGS,
     "__set_name__($self, owner, name, /)\n--\n\nNotes the name under which a class holds the "
     "cached method."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decorator_getset[] = {
    {"__isabstractmethod__", decorator_get_isabstractmethod, nullptr, nullptr, nullptr},
    {"__name__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedName)},
    {"__qualname__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedQualname)},
    {"__wrapped__", decorator_get_recorded, nullptr, nullptr, closure_of(kRecordedWrapped)},
    {"__doc__", decorator_get_doc, nullptr, nullptr, nullptr},
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
    {Py_tp_methods, decorator_methods},
#if Py_LIMITED_API + 0 >= 0x030C0000
    {Py_tp_members, decorator_members},
#endif
    {0, nullptr},
};

// A method descriptor: `obj.area(3)` calls the decorator with the instance
// first, without the bound method that __get__ builds for `obj.area`, as
// for a function; an entry of the method's name in the instance's __dict__
// is then what such a call finds, as for a function. Immutable, so that the
// interpreter may specialise the method load.
PyType_Spec decorator_spec = {
    kTypeName,
    sizeof(DecoratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE
#if Py_LIMITED_API + 0 >= 0x030C0000
        | Py_TPFLAGS_HAVE_VECTORCALL
#endif
    ,
    decorator_slots,
};

}  // namespace

PyTypeObject* decorator_type() {
  PyTypeObject*& type = process_state().decorator_type;
  if (type == nullptr) {
    type =
        reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&decorator_spec)).release());
  }
  return type;
}

Ref new_decorator(DecoratorRecord record) {
  PyTypeObject* type = decorator_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // No Python object is allocated between the allocation and the record's
  // construction, so the collector never sees the record unmade.
  record.serial = ++process_state().decorator_serials;
  DecoratorObject* decorator = as_decorator(object.get());
#if Py_LIMITED_API + 0 >= 0x030C0000
  decorator->head.vectorcall = decorator_vectorcall;
#endif
  DecoratorRecord& placed = *new (&decorator->record) DecoratorRecord(std::move(record));
  enlist_decorator(placed);
  return object;
}

}  // namespace quarrine
