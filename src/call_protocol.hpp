// The cached call protocol: what every call of a decorated method runs once
// it is known to be a method call on a QuarrineBase instance. As the
// lru_cache wrapper reads: bind the call, begin (find the node, its owner
// and its registration, record the caller, look up: a hit ends here), call
// the function, finish (settle, store, pop). Also the finding of a method's
// declared dependencies, which the base class's updates share.
//
// The unit holds no state; it speaks in the instance store's operations and
// does with the guard let go whatever may run Python code: binding and
// hashing, comparing keys, looking up classes, warning.
#pragma once

#include "decorator_record.hpp"
#include "instance_store.hpp"
#include "py_introspection_utils/call_arguments.hpp"
#include "py_ref.hpp"

#include <vector>

namespace quarrine {

// Runs a call of `record`'s method on the instance that is the first
// positional argument, whose store is `store`. Defined for TupleArguments
// and, with the limited API of 3.12, VectorArguments.
// A coroutine function's call returns a coroutine (async_call.hpp).
// `decorator` is the record's decorator, which the caller keeps alive.
template <class Arguments>
Ref cached_call(PyObject* decorator, DecoratorRecord& record, InstanceStore& store,
                const Arguments& arguments);

// The nodes of the record's declared dependencies on `instance`, found (and
// added, unregistered, where missing) with the guard let go. Dependencies
// read from the source count only where they name a cached method of the
// instance's class, and then stand for that method's call.
std::vector<NodeId> find_dependency_nodes(const DecoratorRecord& record, InstanceStore& store,
                                          PyObject* instance, PyThreadState* thread);

}  // namespace quarrine
