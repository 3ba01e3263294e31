// QuarrineBase: the type, its slots and method table, and the methods that
// read, change and report an instance's store (dump and load are in
// quarrine_base_dump_load.cpp). See quarrine_base.hpp.
#include "quarrine_base.hpp"

#include "arguments.hpp"
#include "cached_methods.hpp"
#include "call_protocol.hpp"
#include "decorator.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <cassert>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarrine {

// ======================================================== QuarrineBase

namespace {

// A method name given by the caller, as an exact str.
Ref method_name_argument(PyObject* argument) {
  return converting("method_name", [&] { return str_of(text_of(argument)); });
}

// ------------------------------------------------------ queries, updates

// A call of the cached method that a name given by the caller names, the
// name checked (cached_methods.hpp) before the call is identified.
struct NamedCall {
  Ref name;
  Ref decorator;  // keeps the record alive
  const DecoratorRecord* record = nullptr;
  BoundCall call;
};

void name_method(PyObject* self, PyObject* name_argument, NamedCall& out) {
  out.name = method_name_argument(name_argument);
  out.decorator = cached_method_named(self, out.name.get());
  out.record = decorator_record(out.decorator.get());
}

PyObject* base_get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{
        "QuarrineBase.get_cached_value", {"method_name"}, 1, true};
    Ref values[1];
    Ref keywords;
    parse_method_arguments(parameters, args, kwargs, values, &keywords);
    NamedCall named;
    name_method(self, values[0].get(), named);
    Ref stored;
    try {
      bind_keywords(named.name.get(), keywords.get(), named.call);
      stored = own_store(self)->stored_result(named.call, PyThreadState_Get());
    } catch (const PyErrOccurred&) {
      // A call that cannot be identified has no stored result.
      PyErr_Clear();
    }
    return stored ? std::move(stored) : Ref::borrow(Py_None);
  });
}

}  // namespace

StoreHandle own_store(PyObject* self) {
  StoreHandle store = store_of(self);
  assert(store);  // self is a QuarrineBase instance
  return store;
}

NodeId registered_node(InstanceStore& store, const DecoratorRecord& record, const BoundCall& call,
                       PyObject* instance, PyThreadState* thread) {
  const NodeId node = store.resolve(call, thread, InstanceStore::IfMissing::Add);
  bool registered = false;
  {
    StoreAccess access(store, Access::Shared, thread);
    registered = store.is_registered(access, node);
  }
  if (!registered) {
    std::vector<NodeId> dependencies = find_dependency_nodes(record, store, instance, thread);
    StoreAccess access(store, Access::Exclusive, thread);
    store.register_for(access, node, record, dependencies);
  }
  return node;
}

namespace {

PyObject* base_update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{
        "QuarrineBase.update_cached_value", {"method_name", "value"}, 2, true};
    Ref values[2];
    Ref keywords;
    parse_method_arguments(parameters, args, kwargs, values, &keywords);
    NamedCall named;
    name_method(self, values[0].get(), named);
    bind_keywords(named.name.get(), keywords.get(), named.call);
    StoreHandle store = own_store(self);
    PyThreadState* thread = PyThreadState_Get();
    const NodeId node = registered_node(*store, *named.record, named.call, self, thread);
    PyObject* value = values[1].get();
    StoreAccess access(*store, Access::Exclusive, thread);
    store->update_values(access, {&node, 1}, {&value, 1});
    return Ref::borrow(Py_None);
  });
}

PyObject* base_clear_cache(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&]() -> Ref {
    StoreHandle store = own_store(self);
    StoreAccess access(*store, Access::Exclusive);
    store->drop_results(access);
    return Ref::borrow(Py_None);
  });
}

// --------------------------------------------------------------- reports

// What a report shows of the instance's registered nodes, copied under
// shared access; the report's objects are made from the copies afterwards.
std::vector<NodeSnapshot> snapshot_of(PyObject* self, bool with_children) {
  StoreHandle store = own_store(self);
  StoreAccess access(*store, Access::Shared);
  return store->snapshot(access, with_children);
}

// A dict from the report key of every node to value_of(node), leaving out
// the nodes for which value_of gives an empty handle.
template <class ValueOf>
Ref report(const std::vector<NodeSnapshot>& nodes, ValueOf&& value_of) {
  Ref result = Ref::checked(PyDict_New());
  for (const NodeSnapshot& node : nodes) {
    if (Ref value = value_of(node)) {
      require(PyDict_SetItem(result.get(), node.key.report_key().get(), value.get()));
    }
  }
  return result;
}

PyObject* base_get_cached_values(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    return report(snapshot_of(self, false),
                  [](const NodeSnapshot& node) { return Ref::borrow(node.value.get()); });
  });
}

PyObject* base_get_dependency_graph(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    std::vector<NodeSnapshot> nodes = snapshot_of(self, true);
    // Each node's report key, made once, by node id.
    std::unordered_map<NodeId, Ref> keys;
    for (const NodeSnapshot& node : nodes) {
      keys.emplace(node.node, node.key.report_key());
    }
    return report(nodes, [&](const NodeSnapshot& node) {
      Ref children = Ref::checked(PySet_New(nullptr));
      for (NodeId child : node.children) {
        require(PySet_Add(children.get(), keys.at(child).get()));
      }
      return children;
    });
  });
}

PyObject* base_get_validation_state(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    return report(snapshot_of(self, false), [](const NodeSnapshot& node) {
      return Ref::checked(PyUnicode_FromString(validation_state_text(node.state)));
    });
  });
}

// ---------------------------------------------------------------- slots

// An instance whose deallocation runs this one keeps its store in the side
// table (store_registry.hpp): its end and the collector's work reach it here.
int base_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  return visit_side_store(self, visit, arg);
}

int base_clear(PyObject* self) noexcept {
  Ref released = take_side_store(self);
  return 0;
}

void base_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Ref released = take_side_store(self);
  free_instance(self);
}

// __class__, as object has it, with one thing more: an assignment to a class
// whose deallocation does not run QuarrineBase's drops the store that only
// that deallocation would release (store_registry.hpp).
PyObject* base_get_class(PyObject* self, void* /*closure*/) {
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self))).release();
}

int base_set_class(PyObject* self, PyObject* value, void* /*closure*/) {
  return status_boundary([&] {
    // object's own __class__ descriptor, kept for the process.
    static PyObject* const object_class = [] {
      Ref type_dict = Ref::checked(
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dict__"));
      return Ref::checked(PyObject_GetItem(type_dict.get(), interned("__class__"))).release();
    }();
    auto set = reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(object_class), Py_tp_descr_set));
    require(set(object_class, self, value));
    Ref dropped = note_class_changed(self);
  });
}

PyGetSetDef base_getset[] = {
    {"__class__", base_get_class, base_set_class, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Method>
PyCFunction as_cfunction(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef base_methods[] = {
    {"get_cached_value", as_cfunction(base_get_cached_value), METH_VARARGS | METH_KEYWORDS,
     "get_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value", as_cfunction(base_update_cached_value), METH_VARARGS | METH_KEYWORDS,
     "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", as_cfunction(base_clear_cache), METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"get_cached_values", as_cfunction(base_get_cached_values), METH_NOARGS,
     "get_cached_values($self)\n--\n\n"},
    {"get_dependency_graph", as_cfunction(base_get_dependency_graph), METH_NOARGS,
     "get_dependency_graph($self)\n--\n\n"},
    {"get_validation_state", as_cfunction(base_get_validation_state), METH_NOARGS,
     "get_validation_state($self)\n--\n\n"},
    {"dump_cache", as_cfunction(base_dump_cache), METH_VARARGS | METH_KEYWORDS,
     "dump_cache($self, order=None)\n--\n\n"},
    {"load_cache", as_cfunction(base_load_cache), METH_VARARGS | METH_KEYWORDS,
     "load_cache($self, data, order=None)\n--\n\n"},
    {"__reduce_ex__", as_cfunction(base_reduce_ex), METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\n"
     "Helper for copy and pickle: a copy has the instance's state and an empty cache."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot base_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(base_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
    {Py_tp_methods, base_methods},
    {Py_tp_getset, base_getset},
    {Py_tp_doc, const_cast<char*>("QuarrineBase()\n--\n\n")},
    {0, nullptr},
};

// No size of its own: the layout is object's (store_registry.hpp).
PyType_Spec base_spec = {
    "builtins.QuarrineBase",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    base_slots,
};

// pydantic takes every attribute of a model's class body for a field unless
// its type is ignored: it merges the `model_config` of a model's bases, so
// this one tells it to ignore cached methods. A model that gives its own
// ignored_types replaces the list, and lists QuarrineBase's in it.
void set_model_config(PyObject* type) {
  Ref ignored = Ref::checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(decorator_type())));
  Ref config = Ref::checked(PyDict_New());
  require(PyDict_SetItemString(config.get(), "ignored_types", ignored.get()));
  require(PyObject_SetAttrString(type, "model_config", config.get()));
}

}  // namespace

PyTypeObject* quarrine_base_type() {
  PyTypeObject*& type = process_state().base_type;
  if (type == nullptr) {
    Ref made = Ref::checked(PyType_FromSpec(&base_spec));
    // Where an instance without a store of its own in its dict finds None.
    require(PyObject_SetAttr(made.get(), store_attribute_name(), Py_None));
    set_model_config(made.get());
    type = reinterpret_cast<PyTypeObject*>(made.release());
  }
  return type;
}

}  // namespace quarrine
