// QuarrineBase: the type and the methods through which user code reads,
// changes, reports, dumps and loads an instance's store. See
// quarrine_base.hpp.
#include "quarrine_base.hpp"

#include "arguments.hpp"
#include "decorator.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/function_source.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>

namespace quarrine {

// ======================================================== QuarrineBase

namespace {

struct BaseObject {
  PyObject_HEAD
  InstanceStore store;
};

InstanceStore& store_of(PyObject* self) { return reinterpret_cast<BaseObject*>(self)->store; }

using KeywordMethod = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// A method name given by the caller, as an exact str.
Ref method_name_argument(PyObject* argument) {
  return converting("method_name", [&] {
    std::string_view text = text_of(argument);
    return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

// ------------------------------------------------------ queries, updates

PyObject* base_get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{"QuarrineBase.get_cached_value", {"method_name"}, 1, true};
    PyObject* values[1];
    Ref keywords;
    parse_method_arguments(parameters, args, kwargs, values, &keywords);
    InstanceStore& store = store_of(self);
    StoreAccess access(store, Access::Shared);
    Ref name = method_name_argument(values[0]);
    NodeId node = InstanceStore::kNoNode;
    try {
      BoundCall call;
      bind_keywords(name.get(), keywords.get(), call);
      node = store.find(call);
    } catch (const PyErrOccurred&) {
      // A call that cannot be identified has no stored result.
      PyErr_Clear();
      return Ref::borrow(Py_None);
    }
    PyObject* stored = node == InstanceStore::kNoNode ? nullptr : store.servable_value(node);
    return Ref::borrow(stored != nullptr ? stored : Py_None);
  });
}

PyObject* base_update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{"QuarrineBase.update_cached_value",
                                             {"method_name", "value"}, 2, true};
    PyObject* values[2];
    Ref keywords;
    parse_method_arguments(parameters, args, kwargs, values, &keywords);
    InstanceStore& store = store_of(self);
    StoreAccess access(store, Access::Exclusive);
    Ref name = method_name_argument(values[0]);
    BoundCall call;
    bind_keywords(name.get(), keywords.get(), call);
    store.update_value(access, call, values[1]);
    return Ref::borrow(Py_None);
  });
}

PyObject* base_clear_cache(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&]() -> Ref {
    InstanceStore& store = store_of(self);
    StoreAccess access(store, Access::Exclusive);
    store.clear(access);
    return Ref::borrow(Py_None);
  });
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) {
    throw_python_error();
  }
}

// A dict from the report key of every registered node to value_of(node),
// built under shared access; nodes for which value_of gives null are left out.
template <class ValueOf>
PyObject* report(PyObject* self, ValueOf&& value_of) {
  return call_boundary([&]() -> Ref {
    InstanceStore& store = store_of(self);
    StoreAccess access(store, Access::Shared);
    Ref result = Ref::checked(PyDict_New());
    for (NodeId node = 0; node < store.node_count(); ++node) {
      if (!store.is_registered(node)) {
        continue;
      }
      if (Ref value = value_of(store, node)) {
        set_item(result.get(), store.report_key(node).get(), value.get());
      }
    }
    return result;
  });
}

PyObject* base_get_cached_values(PyObject* self, PyObject* /*unused*/) {
  return report(self, [](InstanceStore& store, NodeId node) { return Ref::borrow(store.value(node)); });
}

// --------------------------------------------------------------- reports

PyObject* base_get_dependency_graph(PyObject* self, PyObject* /*unused*/) {
  return report(self, [](InstanceStore& store, NodeId node) {
    Ref children = Ref::checked(PySet_New(nullptr));
    for (NodeId child : store.graph().children_of(node)) {
      if (store.is_registered(child) && PySet_Add(children.get(), store.report_key(child).get()) < 0) {
        throw_python_error();
      }
    }
    return children;
  });
}

PyObject* base_get_validation_state(PyObject* self, PyObject* /*unused*/) {
  return report(self, [](InstanceStore& store, NodeId node) {
    return Ref::checked(PyUnicode_FromString(validation_state_text(store.graph().state_of(node))));
  });
}

// ------------------------------------------------------------ dump, load

// The calling thread's generator of random orders, seeded from the
// operating system.
std::mt19937_64& random_generator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy(), entropy(), entropy()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

// A uniform random permutation: each element swaps with one drawn from the
// elements before it and itself.
void shuffle(std::vector<std::string>& names) {
  if (names.size() < 2) {
    return;
  }
  std::mt19937_64& generator = random_generator();
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::uniform_int_distribution<std::size_t> pick(0, i);
    std::swap(names[i], names[pick(generator)]);
  }
}

// `order` as a list of names; none for None or an absent argument (which
// is what an empty sequence amounts to as well).
std::vector<std::string> order_argument(PyObject* order) {
  std::vector<std::string> names;
  if (order == nullptr || order == Py_None) {
    return names;
  }
  return converting("order", [&] {
    if (PyUnicode_Check(order)) {
      raise_error(PyExc_TypeError, "'order' must be a sequence of method names, not a single str");
    }
    int is_sequence = PyObject_IsInstance(order, sequence_abc());
    if (is_sequence < 0) {
      throw_python_error();
    }
    if (is_sequence == 0) {
      raise_wrong_type(order, "Sequence");
    }
    Ref items = Ref::checked(PySequence_List(order));
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
      names.emplace_back(text_of(PyList_GetItem(items.get(), i)));
    }
    return names;
  });
}

Ref str_from(const std::string& text) {
  return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Calls `name` on the instance with no arguments, as user code would.
Ref call_method(PyObject* self, const std::string& name) {
  Ref attribute_name = str_from(name);
  Ref method = Ref::checked(PyObject_GetAttr(self, attribute_name.get()));
  return Ref::checked(PyObject_CallNoArgs(method.get()));
}

// The serialisable method names of the instance's class, in MRO order: the
// first class that defines a name decides for it.
std::vector<std::string> serialisable_methods(PyObject* self) {
  Ref mro = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"));
  Ref classes = Ref::checked(PySequence_List(mro.get()));
  std::vector<std::string> found;
  std::unordered_set<std::string> met;
  for (Py_ssize_t i = 0; i < PyList_Size(classes.get()); ++i) {
    Ref namespace_ = Ref::checked(PyObject_GetAttrString(PyList_GetItem(classes.get(), i), "__dict__"));
    Ref items = Ref::checked(PyObject_CallMethod(namespace_.get(), "items", nullptr));
    Ref iterator = Ref::checked(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref name_object = Ref::checked(PySequence_GetItem(pair.get(), 0));
      Ref value = Ref::checked(PySequence_GetItem(pair.get(), 1));
      std::string name(text_of(name_object.get()));
      if (name.size() >= 2 && name.compare(0, 2, "__") == 0) {
        continue;
      }
      if (!met.insert(name).second) {
        continue;
      }
      const DecoratorRecord* record = decorator_record(value.get());
      if (record != nullptr && record->serialisable) {
        found.push_back(std::move(name));
      }
    }
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
  }
  return found;
}

PyObject* base_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{"QuarrineBase.dump_cache", {"order"}, 0, false};
    PyObject* values[1];
    parse_method_arguments(parameters, args, kwargs, values);
    std::vector<std::string> order = order_argument(values[0]);

    std::vector<std::string> remaining = serialisable_methods(self);
    std::vector<std::string> sequence;
    std::unordered_set<std::string> taken;
    for (const std::string& name : order) {
      if (!taken.insert(name).second) {
        continue;
      }
      auto found = std::find(remaining.begin(), remaining.end(), name);
      if (found != remaining.end()) {
        remaining.erase(found);
        sequence.push_back(name);
      }
    }
    shuffle(remaining);
    sequence.insert(sequence.end(), remaining.begin(), remaining.end());

    Ref result = Ref::checked(PyDict_New());
    for (const std::string& name : sequence) {
      Ref value = call_method(self, name);
      set_item(result.get(), str_from(name).get(), value.get());
    }
    return result;
  });
}

// Loads one entry of `data` into the instance (see load_cache).
void load_entry(PyObject* self, PyObject* data, const std::string& name) {
  Ref key = str_from(name);
  PyObject* value = PyDict_GetItemWithError(data, key.get());
  if (value == nullptr) {
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
    return;
  }
  Ref loaded = Ref::borrow(value);  // the call below may change `data`
  Ref attribute = Ref::checked(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), key.get()));
  const DecoratorRecord* record = decorator_record(attribute.get());
  if (record == nullptr) {
    PyErr_Format(PyExc_ValueError, "Method '%s' is not decorated with @quarrined", name.c_str());
    throw PyErrOccurred{};
  }
  if (!record->serialisable) {
    PyErr_Format(PyExc_ValueError, "Method '%s' is not marked as serialisable", name.c_str());
    throw PyErrOccurred{};
  }
  validate_self_only_method(record->func.get());
  Ref ignored = call_method(self, name);

  BoundCall call;
  try {
    bind_keywords(key.get(), nullptr, call);
  } catch (const PyErrOccurred&) {
    std::string prefix = "Failed to hash '" + name + "': ";
    raise_wrapping_pending(PyExc_ValueError, prefix.c_str());
  }
  InstanceStore& store = store_of(self);
  StoreAccess access(store, Access::Exclusive);
  store.load_value(access, call, loaded.get());
}

PyObject* base_load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{"QuarrineBase.load_cache", {"data", "order"}, 1, false};
    PyObject* values[2];
    parse_method_arguments(parameters, args, kwargs, values);
    PyObject* data = values[0];
    converting("data", [&] {
      if (!PyDict_Check(data)) {
        raise_wrong_type(data, "dict");
      }
    });
    std::vector<std::string> order = order_argument(values[1]);
    Ref keep_data = Ref::borrow(data);

    std::vector<std::string> keys;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(data, &position, &key, &value)) {
      keys.emplace_back(text_of(key));
    }

    std::unordered_set<std::string> taken;
    for (const std::string& name : order) {
      if (taken.insert(name).second) {
        load_entry(self, data, name);
      }
    }
    std::vector<std::string> rest;
    for (std::string& name : keys) {
      if (taken.count(name) == 0) {
        rest.push_back(std::move(name));
      }
    }
    shuffle(rest);
    for (const std::string& name : rest) {
      load_entry(self, data, name);
    }
    return Ref::borrow(Py_None);
  });
}

// ---------------------------------------------------------------- slots

PyObject* base_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return call_boundary([&] {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = Ref::checked(alloc(type, 0));
    // Nothing between the allocation and the store's construction can run
    // the collector, so it never sees the store unmade.
    new (&store_of(object.get())) InstanceStore();
    return object;
  });
}

int base_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return store_of(self).traverse(visit, arg);
}

int base_clear(PyObject* self) {
  // Released after the store is consistent (and empty) again.
  std::vector<StoredNode> released;
  store_of(self).clear_into(released);
  return 0;
}

void base_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  base_clear(self);
  store_of(self).~InstanceStore();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

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
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(base_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(base_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
    {Py_tp_methods, base_methods},
    {Py_tp_doc, const_cast<char*>("QuarrineBase(*_args, **_kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "builtins.QuarrineBase",
    sizeof(BaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    base_slots,
};

}  // namespace

PyTypeObject* quarrine_base_type() {
  PyTypeObject*& type = process_state().base_type;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&base_spec)).release());
  }
  return type;
}

InstanceStore* instance_store(PyObject* object) {
  PyTypeObject* type = process_state().base_type;
  if (type == nullptr || !PyObject_TypeCheck(object, type)) {
    return nullptr;
  }
  return &store_of(object);
}

}  // namespace quarrine
