// QuarrineDecorator: the object that stands in a class in place of each
// decorated method, its descriptor operations, and the cached call protocol
// that every call of a decorated method runs.
//
// A decorator owns its function, the call keys of its declared dependencies
// and the binder that turns call arguments into call keys. It is immutable
// once made; only the factories make one.
#pragma once

#include "py_introspection_utils/call_binder.hpp"
#include "py_introspection_utils/call_key.hpp"
#include "py_ref.hpp"

#include <memory>
#include <string>
#include <vector>

namespace quarrine {

struct DecoratorRecord {
  std::vector<CallKey> dependency_keys;        // in declaration order, duplicates kept
  std::string method_name;                     // the function's __name__ at decoration
  Ref method_name_object;                      // the same, as an interned str
  Ref func;                                    // the decorated function itself
  bool use_cache = true;
  bool track_runtime_dependencies = false;
  bool serialisable = false;
  std::unique_ptr<CallBinder> binder;          // binds calls of `func`
};

// Wraps a filled record in a new decorator (creating the type on first use).
Ref new_decorator(DecoratorRecord record);

// The record of a decorator (or of an instance of a subtype), else null.
const DecoratorRecord* decorator_record(PyObject* object);

}  // namespace quarrine
