// QuarrineDecorator: the object that stands in a class in place of each
// decorated method, its descriptor operations, and the cached call protocol
// that every call of a decorated method runs.
//
// A decorator owns its record (decorator_record.hpp): the function, the call
// keys of its declared dependencies and the binder that turns call arguments
// into call keys. It is immutable once made; only the factories make one.
#pragma once

#include "decorator_record.hpp"
#include "py_ref.hpp"

namespace quarrine {

// Wraps a filled record in a new decorator (creating the type on first use).
Ref new_decorator(DecoratorRecord record);

// The record of a decorator, else null. Borrowed: the decorator object keeps
// it alive.
const DecoratorRecord* decorator_record(PyObject* object);

}  // namespace quarrine
