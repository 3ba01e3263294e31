// Calls of cached async methods (coroutine functions). A call returns a
// fresh coroutine: a hit's gives the stored result; a computation's runs the
// body, or joins the run of the same call that is already in progress on the
// same event loop, and the awaited result is what the store keeps.
//
// What happens on an event loop (sharing one run among its callers,
// cancelling it when every caller is cancelled, running the body one step at
// a time, carrying the running call into the tasks it starts) is written in
// Python, shipped inside this unit and run once on first use: asyncio's
// tasks, shields and context variables are Python objects, and the code that
// drives them reads best as what it is. The store is reached only through a
// token (QuarrineAsyncCall) whose methods are the store's async operations.
//
// The unit owns the token type and the helpers' namespace, made on first
// use and kept for the life of the process (process_state).
#pragma once

#include "instance_store.hpp"  // first: it brings Python.h before any standard header
#include "dependency_graph.hpp"
#include "py_ref.hpp"

namespace quarrine {

// A coroutine that returns `value`: the answer of a hit.
Ref async_result(PyObject* value);

// The coroutine of a computation of the node of a call of `decorator` (a
// coroutine function's) on `instance`, whose store is `store`: awaited, it
// runs the function with `args` and `kwargs` (or null), or joins the run in
// progress.
Ref async_computation(PyObject* decorator, PyObject* instance, InstanceStore& store, NodeId node,
                      Ref args, Ref kwargs);

// The innermost running cached async call on `instance` in the current
// context (a suspended body whose task started the current one), as its
// node and whether it records dependencies; false when there is none.
bool async_caller(PyObject* instance, NodeId& node, bool& records_dependencies);

}  // namespace quarrine
