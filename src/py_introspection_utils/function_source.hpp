// What the module reads from a decorated function's definition, once, when a
// class is defined (and when load_cache checks a method): the declared
// dependency specifications, the self-only check of serialisable methods,
// and the scan of a method's source for the calls it makes on self. The cold
// path; nothing here is kept beyond the specifications it returns.
#pragma once

#include "py_ref.hpp"

#include <string>
#include <vector>

namespace quarrine {

// One declared dependency: the name of a method and the keyword arguments of
// the call depended on (a dict owned here).
struct DependencySpec {
  std::string method_name;
  Ref keywords;
};

// The `dependencies` option: a list of method names and (name, keywords)
// tuples, in the user's order.
std::vector<DependencySpec> parse_dependencies(PyObject* dependencies);
// Raises ValueError unless the function's only parameter is named self.
void validate_self_only_method(PyObject* function);
// The methods that the function's source calls on self without arguments,
// each once, in the order of a pre-order walk of its body.
std::vector<DependencySpec> ast_inspect_method_dependencies(PyObject* function);

}  // namespace quarrine
