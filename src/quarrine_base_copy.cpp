// QuarrineBase.__reduce_ex__: how copy, deepcopy and pickle rebuild an
// instance. The copy is made through its class's __new__ (so it gets an
// empty store of its own: no results, nodes or edges) and then given the
// instance's own state, as object's defaults would give it (__dict__ and
// slots) or as the class's own __getstate__ does. The store is never part of
// the state. A class's own __reduce__, __getnewargs_ex__ and __getnewargs__
// are honoured; __setstate__ is honoured by copy and pickle themselves.
#include "quarrine_base.hpp"

#include "py_introspection_utils/host_services.hpp"

namespace quarrine {

namespace {

Ref call_hook(PyObject* object, const char* name) {
  Ref hook = Ref::checked(PyObject_GetAttrString(object, name));
  return Ref::checked(PyObject_CallNoArgs(hook.get()));
}

// The arguments for the class's __new__, from the class's own
// __getnewargs_ex__ or __getnewargs__ (none by default); `kwargs` is left
// empty when there are no keywords.
Ref new_arguments(PyObject* self, Ref& kwargs) {
  if (Ref getnewargs_ex = attribute_if_present(self, "__getnewargs_ex__")) {
    Ref pair = Ref::checked(PyObject_CallNoArgs(getnewargs_ex.get()));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2 ||
        !PyTuple_Check(PyTuple_GetItem(pair.get(), 0)) ||
        !PyDict_Check(PyTuple_GetItem(pair.get(), 1))) {
      raise_error(PyExc_TypeError,
                  "__getnewargs_ex__ should return a tuple of length 2: (tuple, dict)");
    }
    if (PyDict_Size(PyTuple_GetItem(pair.get(), 1)) > 0) {
      kwargs = Ref::borrow(PyTuple_GetItem(pair.get(), 1));
    }
    return Ref::borrow(PyTuple_GetItem(pair.get(), 0));
  }
  if (Ref getnewargs = attribute_if_present(self, "__getnewargs__")) {
    Ref args = Ref::checked(PyObject_CallNoArgs(getnewargs.get()));
    if (!PyTuple_Check(args.get())) {
      raise_error(PyExc_TypeError, "__getnewargs__ should return a tuple");
    }
    return args;
  }
  return Ref::checked(PyTuple_New(0));
}

// The instance's state without the store that its dict may hold
// (store_registry.hpp): a copy makes its own. The state is a dict, or a
// pair (dict or None, slots) where the class has slots too.
Ref without_store(Ref state) {
  PyObject* dict = state.get();
  const bool paired = PyTuple_Check(dict) && PyTuple_Size(dict) == 2;
  if (paired) {
    dict = PyTuple_GetItem(dict, 0);
  }
  if (!PyDict_Check(dict) || PyDict_GetItemWithError(dict, store_attribute_name()) == nullptr) {
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
    return state;
  }
  Ref copied = Ref::checked(PyDict_Copy(dict));
  require(PyDict_DelItem(copied.get(), store_attribute_name()));
  if (!paired) {
    return copied;
  }
  return Ref::checked(PyTuple_Pack(2, copied.get(), PyTuple_GetItem(state.get(), 1)));
}

// (copyreg.__newobj__, (cls, *args), state), or __newobj_ex__ with keywords:
// both are plain functions, so every pickle protocol can name them.
Ref default_reduction(PyObject* self) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref kwargs;
  Ref args = new_arguments(self, kwargs);
  Ref state = without_store(call_hook(self, "__getstate__"));
  Ref copyreg = Ref::checked(PyImport_ImportModule("copyreg"));
  if (kwargs) {
    Ref constructor = Ref::checked(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    Ref arguments = Ref::checked(PyTuple_Pack(3, type, args.get(), kwargs.get()));
    return Ref::checked(PyTuple_Pack(3, constructor.get(), arguments.get(), state.get()));
  }
  Ref constructor = Ref::checked(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
  Ref head = Ref::checked(PyTuple_Pack(1, type));
  Ref arguments = Ref::checked(PySequence_Concat(head.get(), args.get()));
  return Ref::checked(PyTuple_Pack(3, constructor.get(), arguments.get(), state.get()));
}

}  // namespace

PyObject* base_reduce_ex(PyObject* self, PyObject* /*protocol*/) {
  return call_boundary([&]() -> Ref {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref own_reduce = Ref::checked(PyObject_GetAttrString(type, "__reduce__"));
    Ref default_reduce = Ref::checked(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce__"));
    if (own_reduce.get() != default_reduce.get()) {
      return call_hook(self, "__reduce__");
    }
    return default_reduction(self);
  });
}

}  // namespace quarrine
