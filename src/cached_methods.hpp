// What an instance's class holds as cached methods, for the base class's
// methods that name a method by a string: the decorator that a method name
// names, and the serialisable methods. Reads the class each time (classes
// may change); holds no state.
#pragma once

#include "decorator_record.hpp"
#include "py_ref.hpp"

#include <string>
#include <utility>
#include <vector>

namespace quarrine {

// The decorator whose method name is `method_name` (a str) on the
// instance's class: the one the class holds under that name, else the
// first one found along its MRO; a property whose getter is a decorator
// counts as that decorator. AttributeError otherwise, naming the
// nearest cached method of the class. The handle keeps the decorator alive.
Ref cached_method_named(PyObject* instance, PyObject* method_name);

// The serialisable cached methods of the instance's class, by the names
// under which it holds them, in MRO order: the first class that defines a
// name decides for it. Names that begin with "__" are left out.
std::vector<std::string> serialisable_methods(PyObject* instance);

}  // namespace quarrine
