// Calls of cached async methods. See async_call.hpp.
#include "async_call.hpp"

#include "decorator_notes.hpp"
#include "decorator_record.hpp"
#include "instance_store.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <new>
#include <optional>
#include <utility>

namespace quarrine {

namespace {

// What runs on the event loop. `token` is the call's QuarrineAsyncCall.
//
// A computation is one Run per node and loop, a task of its own (not a
// caller's: cancelling one caller must not cancel the others), which each
// caller awaits through a shield; the last caller to be cancelled cancels
// it. A call made inside its own run (the body awaiting itself with the same
// arguments) runs the body again instead of waiting for itself. The body
// runs one step at a time, its node the thread's innermost running call
// during each step; the context variable carries it into the tasks that the
// body starts, for the cached calls those make while the body is suspended.
constexpr const char* kHelpers = R"PY(
import asyncio
import contextvars

running = contextvars.ContextVar("quarrine_running_call", default=None)


class Frame:
    __slots__ = ("token", "run", "parent")

    def __init__(self, token, run, parent):
        self.token, self.run, self.parent = token, run, parent


def caller_on(instance):
    frame = running.get()
    while frame is not None:
        if frame.token.instance is instance:
            return frame.token.node, frame.token.records
        frame = frame.parent
    return None


def inside(run):
    frame = running.get()
    while frame is not None:
        if frame.run is run:
            return True
        frame = frame.parent
    return False


class Run:
    __slots__ = ("task", "waiters")

    def __init__(self):
        self.task, self.waiters = None, 0


async def cached_result(value):
    return value


async def cached_call(token):
    loop = asyncio.get_running_loop()
    run = token.run_for(loop)
    if run is not None and inside(run):
        return await drive(token, loop, None)
    if run is None:
        run = Run()
        token.begin(loop, run)
        run.task = loop.create_task(drive(token, loop, run))
    run.waiters += 1
    try:
        return await asyncio.shield(run.task)
    except asyncio.CancelledError:
        if run.waiters == 1 and not run.task.done():
            run.task.cancel()
        raise
    finally:
        run.waiters -= 1


class Steps:
    __slots__ = ("coroutine", "token")

    def __init__(self, coroutine, token):
        self.coroutine, self.token = coroutine, token

    def __await__(self):
        send, throw, token = self.coroutine.send, self.coroutine.throw, self.token
        value = error = None
        while True:
            token.enter()
            try:
                yielded = send(value) if error is None else throw(error)
            except StopIteration as stop:
                return stop.value
            finally:
                token.leave()
            try:
                value, error = (yield yielded), None
            except BaseException as thrown:
                value, error = None, thrown


async def drive(token, loop, run):
    if run is None:
        token.begin(loop, None)
    mark = running.set(Frame(token, run, running.get()))
    try:
        result = await Steps(token.coroutine(), token)
    except BaseException:
        token.fail(run)
        raise
    finally:
        running.reset(mark)
    token.finish(run, result)
    return result
)PY";

// The helpers' namespace, run once.
PyObject* helpers() {
  Ref& namespace_ = process_state().async_helpers;
  if (!namespace_) {
    Ref made = Ref::checked(PyDict_New());
    Ref builtins = Ref::checked(PyImport_ImportModule("builtins"));
    require(PyDict_SetItemString(made.get(), "__builtins__", builtins.get()));
    require(PyDict_SetItemString(made.get(), "__name__", interned("quarrine")));
    Ref code = Ref::checked(Py_CompileString(kHelpers, "<quarrine async calls>", Py_file_input));
    Ref exec = Ref::checked(PyObject_GetAttrString(builtins.get(), "exec"));
    Ref ignored = Ref::checked(
        PyObject_CallFunctionObjArgs(exec.get(), code.get(), made.get(), nullptr));
    if (!namespace_) {
      namespace_ = std::move(made);
    }
  }
  return namespace_.get();
}

Ref helper_call(const char* name, PyObject* argument) {
  PyObject* function = PyDict_GetItemString(helpers(), name);  // borrowed; the dict keeps it
  if (function == nullptr) {
    raise_format(PyExc_SystemError, "quarrine's async helper '%s' is missing", name);
  }
  return Ref::checked(PyObject_CallFunctionObjArgs(function, argument, nullptr));
}

// ------------------------------------------------------------- the token

struct TokenRecord {
  Ref decorator;  // keeps the method's record alive
  Ref instance;   // keeps the store alive
  InstanceStore* store = nullptr;
  Ref args;
  Ref kwargs;  // or empty
  Ref loop;    // the loop its computation began on
  NodeId node = 0;
  MethodDependencyGraph::RunStart start;
};

struct AsyncCallObject {
  PyObject_HEAD
  TokenRecord record;
};

TokenRecord* as_token(PyObject* object) {
  return &reinterpret_cast<AsyncCallObject*>(object)->record;
}

// The record and the store of the token's call.
struct TokenParts {
  DecoratorRecord& record;
  InstanceStore& store;
};

TokenParts parts_of(PyObject* self) {
  TokenRecord* token = as_token(self);
  DecoratorRecord* record = decorator_record(token->decorator.get());
  if (record == nullptr || !token->instance) {
    raise_error(PyExc_SystemError, "quarrine's async call lost its method or instance");
  }
  return {*record, *token->store};
}

PyObject* optional(PyObject* object) { return object == Py_None ? nullptr : object; }

PyObject* token_run_for(PyObject* self, PyObject* loop) {
  return call_boundary([&] {
    TokenParts parts = parts_of(self);
    StoreAccess access(parts.store, Access::Shared);
    PyObject* run = parts.store.shared_run(access, as_token(self)->node, loop);
    return Ref::borrow(run != nullptr ? run : Py_None);
  });
}

PyObject* token_begin(PyObject* self, PyObject* args) {
  return call_boundary([&] {
    PyObject* loop = nullptr;
    PyObject* run = nullptr;
    if (!PyArg_UnpackTuple(args, "begin", 2, 2, &loop, &run)) {
      throw_python_error();
    }
    TokenParts parts = parts_of(self);
    TokenRecord* token = as_token(self);
    StoreAccess access(parts.store, Access::Exclusive);
    token->start = parts.store.begin_async_run(access, token->node, loop, optional(run),
                                               parts.record.track_runtime_dependencies);
    token->loop = Ref::borrow(loop);
    return Ref::borrow(Py_None);
  });
}

PyObject* token_coroutine(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    TokenRecord* token = as_token(self);
    Ref function = Ref::borrow(parts_of(self).record.func.get());
    if (!function) {
      raise_error(PyExc_RuntimeError, "the decorated method was cleared by the garbage collector");
    }
    return Ref::checked(PyObject_Call(function.get(), token->args.get(), token->kwargs.get()));
  });
}

PyObject* token_enter(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    TokenParts parts = parts_of(self);
    StoreAccess access(parts.store, Access::Exclusive);
    parts.store.push_frame(access, as_token(self)->node, parts.record.track_runtime_dependencies);
    return Ref::borrow(Py_None);
  });
}

PyObject* token_leave(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    TokenParts parts = parts_of(self);
    StoreAccess access(parts.store, Access::Exclusive);
    parts.store.pop_frame(access, as_token(self)->node);
    return Ref::borrow(Py_None);
  });
}

PyObject* token_finish(PyObject* self, PyObject* args) {
  return call_boundary([&] {
    PyObject* run = nullptr;
    PyObject* result = nullptr;
    if (!PyArg_UnpackTuple(args, "finish", 2, 2, &run, &result)) {
      throw_python_error();
    }
    TokenParts parts = parts_of(self);
    TokenRecord* token = as_token(self);
    Ref uncomputed_dependency;
    {
      Finished finished;  // released after the guard is let go
      StoreAccess access(parts.store, Access::Exclusive);
      finished = parts.store.finish_async(access, parts.record, token->node, token->start, result);
      parts.store.end_async_run(access, token->node, token->loop.get(), optional(run));
      uncomputed_dependency = std::move(finished.uncomputed_dependency);
    }
    if (uncomputed_dependency) {
      warn_uncomputed_dependency(parts.record, uncomputed_dependency.get());
    }
    return Ref::borrow(Py_None);
  });
}

PyObject* token_fail(PyObject* self, PyObject* run) {
  return call_boundary([&] {
    TokenParts parts = parts_of(self);
    TokenRecord* token = as_token(self);
    StoreAccess access(parts.store, Access::Exclusive);
    parts.store.end_async_run(access, token->node, token->loop.get(), optional(run));
    return Ref::borrow(Py_None);
  });
}

PyObject* token_get_instance(PyObject* self, void* /*closure*/) {
  return Ref::borrow(as_token(self)->instance.get()).release();
}

PyObject* token_get_node(PyObject* self, void* /*closure*/) {
  return PyLong_FromUnsignedLong(as_token(self)->node);
}

PyObject* token_get_records(PyObject* self, void* /*closure*/) {
  return call_boundary([&] {
    return Ref::borrow(parts_of(self).record.track_runtime_dependencies ? Py_True : Py_False);
  });
}

int token_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  TokenRecord* token = as_token(self);
  Py_VISIT(token->decorator.get());
  Py_VISIT(token->instance.get());
  Py_VISIT(token->args.get());
  Py_VISIT(token->kwargs.get());
  Py_VISIT(token->loop.get());
  return 0;
}

int token_clear(PyObject* self) noexcept {
  TokenRecord* token = as_token(self);
  Ref released[] = {std::move(token->decorator), std::move(token->instance),
                    std::move(token->args), std::move(token->kwargs), std::move(token->loop)};
  return 0;
}

void token_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  as_token(self)->~TokenRecord();
  free_instance(self);
}

template <class Method>
PyCFunction as_cfunction(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef token_methods[] = {
    {"run_for", as_cfunction(token_run_for), METH_O, nullptr},
    {"begin", as_cfunction(token_begin), METH_VARARGS, nullptr},
    {"coroutine", as_cfunction(token_coroutine), METH_NOARGS, nullptr},
    {"enter", as_cfunction(token_enter), METH_NOARGS, nullptr},
    {"leave", as_cfunction(token_leave), METH_NOARGS, nullptr},
    {"finish", as_cfunction(token_finish), METH_VARARGS, nullptr},
    {"fail", as_cfunction(token_fail), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef token_getset[] = {
    {"instance", token_get_instance, nullptr, nullptr, nullptr},
    {"node", token_get_node, nullptr, nullptr, nullptr},
    {"records", token_get_records, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(token_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(token_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(token_dealloc)},
    {Py_tp_methods, token_methods},
    {Py_tp_getset, token_getset},
    {0, nullptr},
};

PyType_Spec token_spec = {
    "builtins.QuarrineAsyncCall",
    sizeof(AsyncCallObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    token_slots,
};

PyTypeObject* token_type() {
  PyTypeObject*& type = process_state().async_call_type;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&token_spec)).release());
  }
  return type;
}

}  // namespace

Ref async_result(PyObject* value) { return helper_call("cached_result", value); }

Ref async_computation(PyObject* decorator, PyObject* instance, InstanceStore& store, NodeId node,
                      Ref args, Ref kwargs) {
  PyTypeObject* type = token_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // Nothing between the allocation and the construction runs the collector.
  TokenRecord* token = new (as_token(object.get())) TokenRecord();
  token->decorator = Ref::borrow(decorator);
  token->instance = Ref::borrow(instance);
  token->store = &store;
  token->args = std::move(args);
  token->kwargs = std::move(kwargs);
  token->node = node;
  return helper_call("cached_call", object.get());
}

bool async_caller(PyObject* instance, NodeId& node, bool& records_dependencies) {
  Ref found = helper_call("caller_on", instance);
  if (found.get() == Py_None) {
    return false;
  }
  const unsigned long number = PyLong_AsUnsignedLong(PyTuple_GetItem(found.get(), 0));
  if (number == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
    throw_python_error();
  }
  node = static_cast<NodeId>(number);
  records_dependencies = PyTuple_GetItem(found.get(), 1) == Py_True;
  return true;
}

}  // namespace quarrine
