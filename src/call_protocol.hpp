// The cached call protocol: what every call of a decorated method runs once
// it is known to be a method call on a QuarrineBase instance. As the
// lru_cache wrapper reads: bind the call, look up (a hit ends here), begin
// (the store's first step), call the function, finish (settle, store, pop).
// Also the finding of a method's declared dependencies, which the base
// class's updates share.
//
// The first step is an exchange with the instance store
// (InstanceStore::begin): under the guard the store answers with an outcome
// (a Hit, or a Run of the function) or with what it needs to know first (a
// Need); the protocol learns that with the guard let go, into Known, and
// asks again. Each need, who answers it and where the answer goes:
//
//   Need           answered by (guard let go)                    goes into
//   -------------  --------------------------------------------  ------------------------
//   Node           InstanceStore::resolve: the candidates'        Known::node
//                  keys compared with ==, which may run __eq__
//   Dependencies   find_dependency_nodes: the declared ones,      Known::dependencies
//                  or those read from the source that name
//                  cached methods of the instance's class
//   Verdict        takes_over: whether the class now resolves     Known::verdict_owner,
//                  the caller where it resolved the owner         Known::take_over
//   AsyncCaller    async_caller: the running async call of the    Known::async_caller
//                  context (a context variable)
//
// Every need that names the node also sets Known::node, so that the next
// attempt starts from it. A Run of a computation begins only where the
// thread's native stack has room for one more (deep recursion through
// cached methods raises RecursionError rather than overflowing the stack).
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
