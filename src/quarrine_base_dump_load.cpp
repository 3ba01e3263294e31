// QuarrineBase.dump_cache and QuarrineBase.load_cache, the half of the base
// unit that moves results in and out of an instance as a plain dict; the
// store is reached only through its operations. See quarrine_base.hpp.
#include "arguments.hpp"
#include "decorator.hpp"
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
  shuffle(names);
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

// The serialisable method names of the instance's class, in MRO order: the
// first class that defines a name decides for it.
std::vector<std::string> serialisable_methods(PyObject* self) {
  Ref mro =
      Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"));
  Ref classes = Ref::checked(PySequence_List(mro.get()));
  std::vector<std::string> found;
  std::unordered_set<std::string> met;
  for (Py_ssize_t i = 0; i < PyList_Size(classes.get()); ++i) {
    Ref namespace_ =
        Ref::checked(PyObject_GetAttrString(PyList_GetItem(classes.get(), i), "__dict__"));
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

// Loads one entry of `data` into the instance (see load_cache).
void load_entry(PyObject* self, PyObject* data, const std::string& name) {
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
  Ref ignored = call_method(self, name);

  BoundCall call;
  try {
    bind_keywords(key.get(), nullptr, call);
  } catch (const PyErrOccurred&) {
    std::string prefix = "Failed to hash '" + name + "': ";
    raise_wrapping_pending(PyExc_ValueError, prefix.c_str());
  }
  InstanceStore& store = *instance_store(self);  // self is a QuarrineBase
  StoreAccess access(store, Access::Exclusive);
  store.load_value(access, call, loaded.get());
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
      Ref value = call_method(self, name);
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
    for (const std::string& name : in_order(order, std::move(keys))) {
      load_entry(self, data, name);
    }
    return Ref::borrow(Py_None);
  });
}

}  // namespace quarrine
