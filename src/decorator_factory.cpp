// The decorator factories. See decorator_factory.hpp.
#include "decorator_factory.hpp"

#include "arguments.hpp"
#include "decorator.hpp"
#include "process_state.hpp"
#include "py_introspection_utils/function_source.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarrine {

namespace {

struct FactoryRecord {
  // Absent only for the automatic factory given no list: the source of each
  // decorated function is read instead.
  std::optional<std::vector<DependencySpec>> dependencies;
  bool use_cache = true;
  bool track_runtime_dependencies = false;
  bool serialisable = false;
};

struct FactoryObject {
  PyObject_HEAD
  FactoryRecord record;
};

FactoryObject* as_factory(PyObject* object) { return reinterpret_cast<FactoryObject*>(object); }

struct FactoryKind {
  const char* name;       // as the user writes it
  const char* new_name;   // as errors name the constructor
  const char* call_name;  // as errors name the decoration
  bool automagic;
  bool default_tracking;
};

constexpr FactoryKind kManual{"quarrined", "quarrined.__new__", "quarrined.__call__", false, false};
constexpr FactoryKind kAutomagic{"automagically_quarrined", "automagically_quarrined.__new__",
                                 "automagically_quarrined.__call__", true, true};

bool flag_argument(PyObject* value, const char* name, bool default_value) {
  if (value == nullptr) {
    return default_value;
  }
  return converting(name, [&] { return flag_value(value); });
}

Ref factory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const FactoryKind& kind) {
  const MethodParameters parameters{
      kind.new_name,
      {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable"},
      0,
      false};
  Ref values[4];
  parse_method_arguments(parameters, args, kwargs, values);
  FactoryRecord record;
  try {
    record.use_cache = flag_argument(values[0].get(), "use_cache", true);
  } catch (const PyErrOccurred&) {
    // The factory applied to the method itself: @quarrined without ().
    if (PyCallable_Check(values[0].get()) == 1) {
      attach_note("%s is a decorator factory: write @%s() with parentheses", kind.name,
                  kind.name);
    }
    throw;
  }
  record.track_runtime_dependencies =
      flag_argument(values[2].get(), "track_runtime_dependencies", kind.default_tracking);
  record.serialisable = flag_argument(values[3].get(), "serialisable", false);
  PyObject* dependencies = values[1].get();
  if (dependencies != nullptr && dependencies != Py_None) {
    record.dependencies = parse_dependencies(dependencies);
  } else if (!kind.automagic) {
    record.dependencies.emplace();
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::checked(alloc(type, 0));
  // Nothing between the allocation and the record's construction can run
  // the collector.
  new (&as_factory(object.get())->record) FactoryRecord(std::move(record));
  return object;
}

// The call key and hash of one declared dependency.
CallKey dependency_key(const DependencySpec& spec) {
  Ref name = str_of(spec.method_name);
  // Hashing may run user code that changes the user's dict: bind a copy.
  Ref keywords = Ref::checked(PyDict_Copy(spec.keywords.get()));
  BoundCall call;
  bind_keywords(name.get(), keywords.get(), call);
  return CallKey(call);
}

// A staticmethod or classmethod object, which the factory receives when it
// is written above one, has no instance to keep a cache on: refused, naming
// the method by its function's __name__ (or the function, if it has none).
void refuse_method_wrapper(PyObject* func) {
  Ref builtins = Ref::checked(PyImport_ImportModule("builtins"));
  for (const char* kind : {"staticmethod", "classmethod"}) {
    Ref type = Ref::checked(PyObject_GetAttrString(builtins.get(), kind));
    if (!PyType_Check(type.get()) ||
        !PyObject_TypeCheck(func, reinterpret_cast<PyTypeObject*>(type.get()))) {
      continue;
    }
    Ref wrapped = Ref::checked(PyObject_GetAttrString(func, "__func__"));
    Ref name = attribute_if_present(wrapped.get(), "__name__");
    raise_format(PyExc_TypeError,
                 "cannot cache %R: a per-instance cache needs an instance method, not a %s",
                 name ? name.get() : wrapped.get(), kind);
  }
}

// Whether `func` is a coroutine function (or a wrapper of one), whose calls
// the cache awaits; generator functions are refused, their result being
// consumable only once.
bool is_coroutine_function(PyObject* func, PyObject* name) {
  Ref inspect = Ref::checked(PyImport_ImportModule("inspect"));
  Ref unwrap = Ref::checked(PyObject_GetAttrString(inspect.get(), "unwrap"));
  Ref inner = Ref::steal(PyObject_CallFunctionObjArgs(unwrap.get(), func, nullptr));
  if (!inner) {
    PyErr_Clear();  // a __wrapped__ loop: the function stands for itself
    inner = Ref::borrow(func);
  }
  auto is = [&](const char* test, PyObject* candidate) {
    Ref check = Ref::checked(PyObject_GetAttrString(inspect.get(), test));
    Ref answer = Ref::checked(PyObject_CallFunctionObjArgs(check.get(), candidate, nullptr));
    return require(PyObject_IsTrue(answer.get())) == 1;
  };
  for (PyObject* candidate : {func, inner.get()}) {
    for (const char* kind : {"isgeneratorfunction", "isasyncgenfunction"}) {
      if (is(kind, candidate)) {
        raise_format(PyExc_TypeError,
                     "cannot cache %R: its result, %s, can be consumed only once; return a list "
                     "or a tuple instead",
                     name, kind[2] == 'g' ? "a generator" : "an async generator");
      }
    }
  }
  return is("iscoroutinefunction", func) || is("iscoroutinefunction", inner.get());
}

// The dependencies that the function's body declares, read from its source.
// Where there is no source (a function made by exec, or typed at the REPL),
// inspect's OSError gains a note on how to do without it.
std::vector<DependencySpec> dependencies_from_source(PyObject* func, PyObject* name) {
  try {
    return ast_inspect_method_dependencies(func);
  } catch (const PyErrOccurred&) {
    if (PyErr_ExceptionMatches(PyExc_OSError) != 0) {
      attach_note("automagically_quarrined reads the source of '%U' to find its dependencies; "
                  "where there is no source, give them as dependencies=[...]",
                  name);
    }
    throw;
  }
}

// The function's metadata that its decorator presents as its own; each
// attribute the function lacks stays empty.
void record_metadata(DecoratorRecord& record, PyObject* func) {
  record.qualname = attribute_if_present(func, "__qualname__");
  record.module = attribute_if_present(func, "__module__");
  record.doc = attribute_if_present(func, "__doc__");
}

Ref factory_call(PyObject* self, PyObject* args, PyObject* kwargs, const FactoryKind& kind) {
  const MethodParameters parameters{kind.call_name, {"func"}, 1, false};
  Ref values[1];
  parse_method_arguments(parameters, args, kwargs, values);
  PyObject* func = values[0].get();
  const FactoryRecord& factory = as_factory(self)->record;

  refuse_method_wrapper(func);
  Ref name_attribute = Ref::checked(PyObject_GetAttrString(func, "__name__"));
  DecoratorRecord record;
  record.method_name = std::string(text_of(name_attribute.get()));
  record.is_coroutine = is_coroutine_function(func, name_attribute.get());

  std::vector<DependencySpec> discovered;
  const std::vector<DependencySpec>* specs = nullptr;
  if (factory.dependencies) {
    specs = &*factory.dependencies;
  } else {
    discovered = dependencies_from_source(func, name_attribute.get());
    specs = &discovered;
    record.dependencies_from_source = true;
  }
  for (const DependencySpec& spec : *specs) {
    record.dependency_keys.push_back(dependency_key(spec));
  }
  if (factory.serialisable) {
    validate_self_only_method(func);
  }

  PyObject* name = str_of(record.method_name).release();
  PyUnicode_InternInPlace(&name);  // takes over the reference, handing back the interned one
  record.method_name_object = Ref::steal(name);
  record.func = Ref::borrow(func);
  record_metadata(record, func);
  record.binder = std::make_unique<CallBinder>(func, record.method_name_object.get());
  record.use_cache = factory.use_cache;
  record.track_runtime_dependencies = factory.track_runtime_dependencies;
  record.serialisable = factory.serialisable;
  return new_decorator(std::move(record));
}

PyObject* manual_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return factory_new(type, args, kwargs, kManual); });
}

PyObject* automagic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return factory_new(type, args, kwargs, kAutomagic); });
}

PyObject* manual_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return factory_call(self, args, kwargs, kManual); });
}

PyObject* automagic_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&] { return factory_call(self, args, kwargs, kAutomagic); });
}

int factory_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const FactoryRecord& record = as_factory(self)->record;
  if (record.dependencies) {
    for (const DependencySpec& spec : *record.dependencies) {
      Py_VISIT(spec.keywords.get());
    }
  }
  return 0;
}

// Breaks reference cycles through the dependency dicts, which are moved out
// before they are released.
int factory_clear(PyObject* self) noexcept {
  FactoryRecord& record = as_factory(self)->record;
  if (record.dependencies) {
    std::vector<DependencySpec> released = std::move(*record.dependencies);
    record.dependencies->clear();
  }
  return 0;
}

void factory_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  as_factory(self)->record.~FactoryRecord();
  free_instance(self);
}

PyType_Slot manual_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(manual_new)},
    {Py_tp_call, reinterpret_cast<void*>(manual_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(factory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {Py_tp_doc, const_cast<char*>("quarrined(use_cache=True, dependencies=None, "
                                  "track_runtime_dependencies=False, serialisable=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Slot automagic_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(automagic_new)},
    {Py_tp_call, reinterpret_cast<void*>(automagic_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(factory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {Py_tp_doc, const_cast<char*>("automagically_quarrined(use_cache=True, dependencies=None, "
                                  "track_runtime_dependencies=True, serialisable=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec manual_spec = {
    "builtins.quarrined", sizeof(FactoryObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    manual_slots,
};

PyType_Spec automagic_spec = {
    "builtins.automagically_quarrined",      sizeof(FactoryObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, automagic_slots,
};

PyTypeObject* type_from(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) {
    slot = reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&spec)).release());
  }
  return slot;
}

}  // namespace

PyTypeObject* manual_factory_type() {
  return type_from(process_state().manual_factory_type, manual_spec);
}

PyTypeObject* automagic_factory_type() {
  return type_from(process_state().automagic_factory_type, automagic_spec);
}

}  // namespace quarrine
