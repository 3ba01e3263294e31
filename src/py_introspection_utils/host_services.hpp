// What the module uses of the interpreter's standard modules (types, inspect,
// collections.abc) and of its str interning, each looked up once and kept
// for the life of the process: the classes and functions themselves, the
// descriptors of plain functions' attributes, and a fast path to
// types.MethodType(function, instance).
#pragma once

#include "py_ref.hpp"

namespace quarrine {

PyObject* method_type();         // types.MethodType
PyObject* function_type();       // types.FunctionType
PyObject* sequence_abc();        // collections.abc.Sequence
PyObject* inspect_signature();   // inspect.signature
PyObject* interned(const char* text);  // an immortal interned str

// types.MethodType(function, instance), without building the call twice.
Ref new_bound_method(PyObject* function, PyObject* instance);

// Reads one attribute of plain functions through its descriptor on
// types.FunctionType, skipping the generic attribute lookup (the descriptor
// is a data descriptor, so an instance dict cannot hide it).
class FunctionAttribute {
 public:
  explicit FunctionAttribute(const char* name);
  Ref read(PyObject* function) const {
    return Ref::checked(get_(descriptor_.get(), function, owner_));
  }

 private:
  PyObject* owner_;  // types.FunctionType, kept for the life of the process
  Ref descriptor_;
  descrgetfunc get_ = nullptr;
};

// Made once per call site and kept for the life of the process.
const FunctionAttribute& function_attribute(const char* name);

}  // namespace quarrine
