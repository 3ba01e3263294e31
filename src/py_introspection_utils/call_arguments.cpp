// The arguments of a call, where a slow path needs them as a tuple or a
// dict. See call_arguments.hpp.
#include "py_introspection_utils/call_arguments.hpp"

namespace quarrine {

#if Py_LIMITED_API + 0 >= 0x030C0000

Ref VectorArguments::positional_slice(Py_ssize_t first) const {
  const Py_ssize_t count = first < count_ ? count_ - first : 0;
  Ref tuple = Ref::checked(PyTuple_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    // PyTuple_SetItem takes over the reference that Ref::borrow adds.
    PyTuple_SetItem(tuple.get(), i, Ref::borrow(args_[first + i]).release());
  }
  return tuple;
}

Ref VectorArguments::keyword_dict() const {
  if (!has_keywords()) {
    return Ref();
  }
  Ref dict = Ref::checked(PyDict_New());
  each_keyword([&](PyObject* name, PyObject* value) {
    require(PyDict_SetItem(dict.get(), name, value));
    return true;
  });
  return dict;
}

#endif

}  // namespace quarrine
