// What the module uses of the interpreter's standard modules (types, inspect,
// collections.abc) and of its str interning: each looked up once and kept in
// the process state (process_state.hpp), the descriptors of plain functions'
// attributes, and a fast path to types.MethodType(function, instance).
#pragma once

#include "process_state.hpp"
#include "py_ref.hpp"

namespace quarrine {

PyObject* method_type();               // types.MethodType
PyObject* function_type();             // types.FunctionType
PyObject* sequence_abc();              // collections.abc.Sequence
PyObject* inspect_signature();         // inspect.signature
PyObject* interned(const char* text);  // an immortal interned str

// The attribute, or an empty handle when the object has none (the lookup's
// AttributeError is cleared); any other error of the lookup propagates.
Ref attribute_if_present(PyObject* object, PyObject* name);
Ref attribute_if_present(PyObject* object, const char* name);

// types.MethodType(function, instance), without building the call twice.
Ref new_bound_method(PyObject* function, PyObject* instance);

// Looks up the descriptor of one attribute of plain functions on
// types.FunctionType.
const FunctionAttributeDescriptor& look_up_function_attribute(FunctionAttribute attribute);

// Reads one attribute of a plain function through its descriptor, skipping
// the generic attribute lookup (the descriptor is a data descriptor, so an
// instance dict cannot hide it).
inline Ref read_function_attribute(FunctionAttribute attribute, PyObject* function) {
  ProcessState& state = process_state();
  const FunctionAttributeDescriptor* found =
      &state.function_attributes[static_cast<int>(attribute)];
  if (found->get == nullptr) {
    found = &look_up_function_attribute(attribute);
  }
  return Ref::checked(found->get(found->descriptor.get(), function, state.function_type.get()));
}

}  // namespace quarrine
