// The binding of a call's arguments to the parameters of a decorated
// function: natively from a plain function's code object, defaults and
// keyword defaults (one plan per code object, kept by the binder), and
// through inspect.signature for everything else. Part of the hot path.
#pragma once

#include "py_introspection_utils/call_arguments.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

#include <memory>
#include <vector>

namespace quarrine {

struct BindingPlan;  // binding_plan.hpp

// Binds the arguments of a call to a function's parameters, defaults filled
// in, parameters named self left out. Plain Python functions are bound
// natively from their code object, defaults and keyword defaults, read anew
// at each call; everything else, and every call whose arguments do not fit,
// goes through inspect.signature(func).bind(...), so that errors are
// inspect's own.
class CallBinder {
 public:
  // Both borrowed: the decorator owns them. `method_name` is an exact str.
  CallBinder(PyObject* function, PyObject* method_name);
  CallBinder(const CallBinder&) = delete;
  CallBinder& operator=(const CallBinder&) = delete;
  ~CallBinder();

  // Fills `out`, a BoundCall not used before, with the sorted items and its
  // hash. The positional arguments include the instance, first. Defined for
  // TupleArguments and, with the limited API of 3.12, VectorArguments.
  template <class Arguments>
  void bind(const Arguments& arguments, BoundCall& out);

 private:
  const BindingPlan* current_plan();
  template <class Arguments>
  bool bind_positionally(const BindingPlan& plan, const Arguments& arguments, BoundCall& out);
  template <class Arguments>
  bool bind_natively(const BindingPlan& plan, const Arguments& arguments, BoundCall& out);
  template <class Arguments>
  void bind_with_inspect(const Arguments& arguments, BoundCall& out);

  PyObject* function_;     // borrowed from the owning decorator
  PyObject* method_name_;  // likewise
  Py_hash_t method_name_hash_;
  bool plain_function_;
  // Plans are kept until the binder dies: a call in progress may still use
  // one after the function's code was replaced by code that its hashing ran.
  std::vector<std::unique_ptr<BindingPlan>> plans_;
};

}  // namespace quarrine
