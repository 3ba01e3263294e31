// QuarrineBase.dump_cache and QuarrineBase.load_cache, the half of the base
// unit that moves results in and out of an instance as a plain dict; the
// store is reached only through its operations. See quarrine_base.hpp.
#include "arguments.hpp"
#include "cached_methods.hpp"
#include "decorator_record.hpp"
#include "py_introspection_utils/function_source.hpp"
#include "py_introspection_utils/host_services.hpp"
#include "quarrine_base.hpp"

#include <algorithm>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quarrine {

namespace {

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

// The names of `order` that are among `names`, each once, then the other
// names in a random order.
std::vector<std::string> in_order(const std::vector<std::string>& order,
                                  std::vector<std::string> names) {
  std::vector<std::string> sequence;
  for (const std::string& name : order) {
    auto found = std::find(names.begin(), names.end(), name);
    if (found != names.end()) {
      names.erase(found);
      sequence.push_back(name);
    }
  }
  std::shuffle(names.begin(), names.end(), random_generator());  // uniform
  sequence.insert(sequence.end(), names.begin(), names.end());
  return sequence;
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
    if (require(PyObject_IsInstance(order, sequence_abc())) == 0) {
      raise_wrong_type(order, "Sequence");
    }
    Ref items = Ref::checked(PySequence_List(order));
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
      names.emplace_back(text_of(PyList_GetItem(items.get(), i)));
    }
    return names;
  });
}

// Calls `name` on the instance with no arguments, as user code would.
Ref call_method(PyObject* self, const std::string& name) {
  Ref attribute_name = str_of(name);
  Ref method = Ref::checked(PyObject_GetAttr(self, attribute_name.get()));
  return Ref::checked(PyObject_CallNoArgs(method.get()));
}

// The value that dump_cache gives for the serialisable method the class
// holds under `name`: its call's result, or an async method's stored result
// (dump_cache cannot await).
Ref dumped_value(PyObject* self, const std::string& name) {
  Ref key = str_of(name);
  Ref attribute = attribute_if_present(reinterpret_cast<PyObject*>(Py_TYPE(self)), key.get());
  const DecoratorRecord* record = attribute ? decorator_record(attribute.get()) : nullptr;
  if (record == nullptr || !record->is_coroutine) {
    return call_method(self, name);
  }
  BoundCall call;
  bind_keywords(record->method_name_object.get(), nullptr, call);
  if (Ref stored = own_store(self)->stored_result(call, PyThreadState_Get())) {
    return stored;
  }
  raise_format(PyExc_TypeError,
               "cannot dump '%s': it is an async method with no stored result, and dump_cache "
               "cannot await it; await it before dumping",
               name.c_str());
}

// One entry of `data` to load: the loaded value and the cached method that
// the class holds under the entry's name (kept alive here).
struct LoadedEntry {
  Ref value;
  Ref decorator;
  const DecoratorRecord* record;
};

// Checks the entry `name` of `data`, if there is one, and calls its method
// once, as user code would, so that the call is registered with what it
// uses; the entry goes into `entries`.
void prepare_entry(PyObject* self, PyObject* data, const std::string& name,
                   std::vector<LoadedEntry>& entries) {
  Ref key = str_of(name);
  PyObject* value = PyDict_GetItemWithError(data, key.get());
  if (value == nullptr) {
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
    return;
  }
  Ref loaded = Ref::borrow(value);  // the call below may change `data`
  Ref attribute =
      Ref::checked(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), key.get()));
  const DecoratorRecord* record = decorator_record(attribute.get());
  if (record == nullptr) {
    raise_format(PyExc_ValueError, "Method '%s' is not decorated with @quarrined", name.c_str());
  }
  if (!record->serialisable) {
    raise_format(PyExc_ValueError, "Method '%s' is not marked as serialisable", name.c_str());
  }
  validate_self_only_method(record->func.get());
  if (!record->is_coroutine) {
    // An async method's body is not run: it cannot be awaited here.
    Ref ignored = call_method(self, name);
  }
  entries.push_back({std::move(loaded), std::move(attribute), record});
}

// The node that the calls of the entry's method read (its calls are keyed
// by the function's __name__, whatever the attribute's name).
NodeId entry_node(PyObject* self, InstanceStore& store, const LoadedEntry& entry,
                  PyThreadState* thread) {
  BoundCall call;
  PyObject* method_name = entry.record->method_name_object.get();
  try {
    bind_keywords(method_name, nullptr, call);
  } catch (const PyErrOccurred&) {
    std::string prefix = "Failed to hash '" + entry.record->method_name + "': ";
    raise_wrapping_pending(PyExc_ValueError, prefix.c_str());
  }
  return registered_node(store, *entry.record, call, self, thread);
}

// Puts the values of the entries in place at once: everything computed from
// any of them becomes invalid, and the loaded values are valid together.
void load_entries(PyObject* self, const std::vector<LoadedEntry>& entries) {
  PyThreadState* thread = PyThreadState_Get();
  StoreHandle store = own_store(self);  // one store for the ids found and the values put
  std::vector<NodeId> nodes;
  std::vector<PyObject*> values;
  for (const LoadedEntry& entry : entries) {
    nodes.push_back(entry_node(self, *store, entry, thread));
    values.push_back(entry.value.get());
  }
  StoreAccess access(*store, Access::Exclusive, thread);
  store->update_values(access, nodes, values);
}

}  // namespace

PyObject* base_dump_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{"QuarrineBase.dump_cache", {"order"}, 0, false};
    Ref values[1];
    parse_method_arguments(parameters, args, kwargs, values);
    std::vector<std::string> order = order_argument(values[0].get());

    std::vector<std::string> sequence = in_order(order, serialisable_methods(self));
    Ref result = Ref::checked(PyDict_New());
    for (const std::string& name : sequence) {
      Ref value = dumped_value(self, name);
      require(PyDict_SetItem(result.get(), str_of(name).get(), value.get()));
    }
    return result;
  });
}

PyObject* base_load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Ref {
    static const MethodParameters parameters{
        "QuarrineBase.load_cache", {"data", "order"}, 1, false};
    Ref values[2];
    parse_method_arguments(parameters, args, kwargs, values);
    PyObject* data = values[0].get();
    converting("data", [&] {
      if (!PyDict_Check(data)) {
        raise_wrong_type(data, "dict");
      }
    });
    // `data` is kept by values[0] while the user's `order` and the loaded
    // methods run.
    std::vector<std::string> order = order_argument(values[1].get());

    std::vector<std::string> keys;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(data, &position, &key, &value)) {
      keys.emplace_back(text_of(key));
    }
    std::vector<LoadedEntry> entries;
    try {
      for (const std::string& name : in_order(order, std::move(keys))) {
        prepare_entry(self, data, name, entries);
      }
    } catch (const PyErrOccurred&) {
      // The entries before the one that failed are loaded all the same.
      PendingErrorScope pending;
      load_entries(self, entries);
      throw;
    }
    load_entries(self, entries);
    return Ref::borrow(Py_None);
  });
}

}  // namespace quarrine
