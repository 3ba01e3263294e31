// The notes that explain a cached method's failures whose exception and text
// stay as they are: a call without a QuarrineBase instance first (what a
// staticmethod or classmethod wrapped around the cached method gives), a
// binding that failed because of the instance (an unhashable instance in the
// call key, an instance the function takes no parameter for), and an
// assignment to the cached method through an instance; and the warning about
// a declared dependency that was never computed. Each note is added to
// the pending exception (attach_note, arguments.hpp) and leaves it as it was
// otherwise; what a note needs (a class, the function's signature) is read on
// these failure paths only. The unit holds no state.
#pragma once

#include "decorator_record.hpp"
#include "py_ref.hpp"

namespace quarrine {

// The call of `decorator` (whose record is `record`) had no QuarrineBase
// instance first: `first` is its first argument, or null for a call
// without arguments.
void note_missing_instance(const DecoratorRecord& record, PyObject* decorator,
                           PyObject* first) noexcept;

// Binding a call failed; `call` holds what was bound before it failed.
void note_binding_failure(const DecoratorRecord& record, PyObject* args, PyObject* kwargs,
                          const BoundCall& call) noexcept;

// An assignment to the cached method through `instance` was refused.
void note_assignment(const DecoratorRecord& record, PyObject* instance) noexcept;

// Says, once per method and process, with a RuntimeWarning, that a declared
// dependency (its name `dependency`) had never been computed when the method
// returned, so that it is never cached. The warning's error propagates
// where warnings are errors.
void warn_uncomputed_dependency(DecoratorRecord& record, PyObject* dependency);

}  // namespace quarrine
