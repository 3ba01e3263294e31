// QuarrineDecorator: the object that stands in a class in place of each
// decorated method, and its slots: the descriptor operations, and the call,
// which checks that it is a method call on a QuarrineBase instance and runs
// the cached call protocol (call_protocol.hpp).
//
// A decorator owns its record (decorator_record.hpp): the function, the call
// keys of its declared dependencies and the binder that turns call arguments
// into call keys. Only the factories make one.
#pragma once

#include "decorator_record.hpp"
#include "py_ref.hpp"

namespace quarrine {

// The QuarrineDecorator type, created on first use.
PyTypeObject* decorator_type();

// Wraps a filled record in a new decorator (creating the type on first use).
Ref new_decorator(DecoratorRecord record);

}  // namespace quarrine
