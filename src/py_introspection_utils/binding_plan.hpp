// How a plain function's parameters are bound: the plan read once per code
// object (its parameters by slot, their names sorted, the shape of the keys
// that calls of it make), and the check that sends a function whose
// signature a wrapper overrides to inspect instead. The binder keeps the
// plans; this unit reads them.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace quarrine {

// How the parameters of one code object are bound: one slot per parameter,
// in the code object's order.
struct BindingPlan {
  Ref code;   // the code object this plan was read from
  Ref names;  // co_varnames: the parameters first, in slot order
  Py_ssize_t argcount = 0;
  Py_ssize_t posonly = 0;
  Py_ssize_t kwonly = 0;
  Py_ssize_t varargs_slot = -1;
  Py_ssize_t varkw_slot = -1;
  Py_ssize_t slots = 0;
  // Parameters only by position or keyword, none variadic or keyword-only:
  // a call without keywords then binds by position alone.
  bool positional_shape = false;
  std::vector<PyObject*> slot_names;     // borrowed from `names`
  std::vector<Py_hash_t> slot_hashes;    // the hash of each slot's name
  // The parameters by name, self left out, with what the binding reads.
  struct SortedParameter {
    Py_ssize_t slot;
    PyObject* name;  // borrowed from `names`
    Py_hash_t name_hash;
  };
  std::vector<SortedParameter> sorted_parameters;
  // (method name, the sorted parameters' names...): the shape that the call
  // keys of this plan share, and the call hash's state once it is mixed.
  Ref shape;
  std::uint64_t shape_hash_state = 0;

  PyObject* name(Py_ssize_t slot) const { return slot_names[static_cast<std::size_t>(slot)]; }
};

// The plan of a code object, or null for one whose parameters the native
// binding does not cover.
std::unique_ptr<BindingPlan> read_plan(Ref code, PyObject* method_name,
                                       Py_hash_t method_name_hash);

// Whether the function's own attribute dict holds a wrapper's __signature__
// or __wrapped__ (or a partialmethod's marks), which inspect.signature
// honours.
bool has_signature_override(PyObject* function);

}  // namespace quarrine
