// The notes of a cached method's failures. See decorator_notes.hpp.
//
// Every function here runs with the exception it explains pending: each read
// it makes goes through a PendingErrorScope, which keeps that exception aside
// and drops whatever the read raised, so a note that cannot be made is left
// out and the exception stands as it was.
#include "decorator_notes.hpp"

#include "arguments.hpp"

namespace quarrine {

namespace {

// The name of a type; empty where it cannot be read.
Ref type_name(PyTypeObject* type) noexcept {
  PendingErrorScope pending;
  return Ref::steal(PyType_GetName(type));
}

// The method as the notes name it: its qualified name ("Shape.area"), or its
// name where the function had no __qualname__.
PyObject* shown_name(const DecoratorRecord& record) noexcept {
  return record.qualname ? record.qualname.get() : record.method_name_object.get();
}

// Whether `type` resolves the method's name to `decorator` itself, as a class
// does that holds a mixin's cached method.
bool holds_decorator(PyTypeObject* type, PyObject* name, PyObject* decorator) noexcept {
  PendingErrorScope pending;
  Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
  return found.get() == decorator;
}

// inspect.signature of the decorated function; empty where the function was
// cleared or inspect cannot make one.
Ref signature_of(const DecoratorRecord& record) noexcept {
  PendingErrorScope pending;
  Ref function = Ref::borrow(record.func.get());
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  Ref signature = inspect ? Ref::steal(PyObject_GetAttrString(inspect.get(), "signature")) : Ref();
  if (!function || !signature) {
    return Ref();
  }
  return Ref::steal(PyObject_CallFunctionObjArgs(signature.get(), function.get(), nullptr));
}

// The name of the signature's first parameter; empty where it has none.
Ref first_parameter(PyObject* signature) noexcept {
  PendingErrorScope pending;
  Ref parameters = Ref::steal(PyObject_GetAttrString(signature, "parameters"));
  Ref names = parameters ? Ref::steal(PyObject_GetIter(parameters.get())) : Ref();
  Ref first = names ? Ref::steal(PyIter_Next(names.get())) : Ref();
  return first && PyUnicode_Check(first.get()) ? std::move(first) : Ref();
}

bool is_named(PyObject* name, const char* text) noexcept {
  return name != nullptr && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

// Whether the call's arguments after the first fit the signature.
bool binds_without_first(PyObject* signature, PyObject* args, PyObject* kwargs) noexcept {
  PendingErrorScope pending;
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_Size(args)));
  Ref bind = Ref::steal(PyObject_GetAttrString(signature, "bind"));
  return rest && bind && Ref::steal(PyObject_Call(bind.get(), rest.get(), kwargs));
}

// An argument whose type sets __hash__ to None: the note names the argument
// and the method ("while hashing argument 'items' of Order.line()"), and
// says why the instance is in the key when that argument is the instance,
// bound to a first parameter not named self (the binder leaves only a
// parameter named self out of the key). False when no argument is such.
bool note_unhashable_argument(const DecoratorRecord& record, PyObject* args,
                              const BoundCall& call) noexcept {
  PyObject* instance = PyTuple_GetItem(args, 0);
  for (const CallItem& item : call.items()) {
    auto hash = PyType_GetSlot(Py_TYPE(item.value), Py_tp_hash);
    if (hash != reinterpret_cast<void*>(PyObject_HashNotImplemented)) {
      continue;
    }
    Ref class_name = type_name(Py_TYPE(instance));
    Ref signature = item.value == instance ? signature_of(record) : Ref();
    Ref first = signature ? first_parameter(signature.get()) : Ref();
    if (!class_name) {
      return true;
    }
    if (first && PyUnicode_Compare(first.get(), item.name) == 0) {
      attach_note("while hashing argument '%U' of %U.%s(): the instance is part of the call key "
                  "because the first parameter is not named 'self'",
                  item.name, class_name.get(), record.method_name.c_str());
    } else {
      attach_note("while hashing argument '%U' of %U.%s()", item.name, class_name.get(),
                  record.method_name.c_str());
    }
    return true;
  }
  return false;
}

// A call that fits the function only without the instance given first,
// whose first parameter is not named self: the function takes no instance,
// as one written for a staticmethod does.
void note_instance_not_taken(const DecoratorRecord& record, PyObject* args,
                             PyObject* kwargs) noexcept {
  Ref signature = signature_of(record);
  Ref first = signature ? first_parameter(signature.get()) : Ref();
  if (!first || is_named(first.get(), "self") ||
      !binds_without_first(signature.get(), args, kwargs)) {
    return;
  }
  Ref class_name = type_name(Py_TYPE(PyTuple_GetItem(args, 0)));
  if (class_name) {
    attach_note("%S fits its arguments without the '%U' instance given first: a cached method "
                "needs a first parameter for the instance; a staticmethod wrapped around the "
                "cached method is the likely cause",
                shown_name(record), class_name.get());
  }
}

}  // namespace

void note_missing_instance(const DecoratorRecord& record, PyObject* decorator,
                           PyObject* first) noexcept {
  PyObject* name = record.method_name_object.get();
  if (first == nullptr) {
    attach_note("'%U' must be called on an instance of a QuarrineBase subclass; a staticmethod "
                "wrapped around the cached method is the likely cause",
                name);
    return;
  }
  // A classmethod passes the class first; a staticmethod the caller's first
  // argument, whatever it is.
  const bool is_class = PyType_Check(first) != 0;
  Ref class_name =
      type_name(is_class ? reinterpret_cast<PyTypeObject*>(first) : Py_TYPE(first));
  if (!class_name) {
    return;
  }
  if (is_class) {
    attach_note("%S was called with the class '%U' first; '%U' must be called on an instance of "
                "a QuarrineBase subclass; a classmethod wrapped around the cached method is the "
                "likely cause",
                shown_name(record), class_name.get(), name);
  } else if (holds_decorator(Py_TYPE(first), name, decorator)) {
    attach_note("%S was called with an object of type '%U' first; '%U' holds the cached method "
                "but does not inherit from QuarrineBase",
                shown_name(record), class_name.get(), class_name.get());
  } else {
    attach_note("%S was called with an object of type '%U' first; '%U' must be called on an "
                "instance of a QuarrineBase subclass; a staticmethod wrapped around the cached "
                "method is the likely cause",
                shown_name(record), class_name.get(), name);
  }
}

void note_binding_failure(const DecoratorRecord& record, PyObject* args, PyObject* kwargs,
                          const BoundCall& call) noexcept {
  if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) {
    return;
  }
  if (!note_unhashable_argument(record, args, call)) {
    note_instance_not_taken(record, args, kwargs);
  }
}

void note_assignment(const DecoratorRecord& record, PyObject* instance) noexcept {
  Ref class_name = type_name(Py_TYPE(instance));
  if (class_name) {
    PyObject* name = record.method_name_object.get();
    attach_note("%U.%U is a cached method: store a value for one call with "
                "update_cached_value('%U', value, **arguments), or, in a test, patch the class: "
                "unittest.mock.patch.object(%U, '%U', ...)",
                class_name.get(), name, name, class_name.get(), name);
  }
}

void warn_uncomputed_dependency(DecoratorRecord& record, PyObject* dependency) {
  if (record.warned_uncomputed_dependency) {
    return;
  }
  record.warned_uncomputed_dependency = true;
  const char* name = record.method_name.c_str();
  require(PyErr_WarnFormat(
      PyExc_RuntimeWarning, 1,
      "'%s' declares a dependency on '%U', which had not been computed when '%s' returned, so "
      "'%s' is never cached: call self.%U() in its body, or drop '%U' from its dependencies",
      name, dependency, name, name, dependency, dependency));
}

}  // namespace quarrine
