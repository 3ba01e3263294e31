// Reading a function's binding plan. See binding_plan.hpp.
#include "py_introspection_utils/binding_plan.hpp"

#include "py_introspection_utils/call_key.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <algorithm>

namespace quarrine {

namespace {

// Code flags, as the interpreter defines them.
constexpr long kCoVarargs = 0x04;
constexpr long kCoVarkeywords = 0x08;

Py_ssize_t integer_attribute(PyObject* object, const char* name) {
  Ref value = Ref::checked(PyObject_GetAttr(object, interned(name)));
  Py_ssize_t result = PyLong_AsSsize_t(value.get());
  if (result == -1 && PyErr_Occurred() != nullptr) {
    throw_python_error();
  }
  return result;
}

// A function attribute set by wrappers that inspect.signature honours.
const char* const kSignatureOverrides[] = {"__signature__", "__wrapped__", "_partialmethod",
                                           "__partialmethod__"};

}  // namespace

bool has_signature_override(PyObject* function) {
  // Read directly: a function always has an attribute dict, and its setter
  // accepts only a dict.
  Ref attributes = Ref::checked(PyObject_GenericGetDict(function, nullptr));
  if (PyDict_Size(attributes.get()) == 0) {
    return false;
  }
  for (const char* name : kSignatureOverrides) {
    if (PyDict_GetItemWithError(attributes.get(), interned(name)) != nullptr) {
      return true;
    }
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
  }
  return false;
}

namespace {

// Reads how many parameters of each kind the code object has, and where the
// variadic ones sit.
void read_parameter_counts(BindingPlan& plan, PyObject* code) {
  plan.argcount = integer_attribute(code, "co_argcount");
  plan.posonly = integer_attribute(code, "co_posonlyargcount");
  plan.kwonly = integer_attribute(code, "co_kwonlyargcount");
  const Py_ssize_t flags = integer_attribute(code, "co_flags");
  Py_ssize_t slots = plan.argcount + plan.kwonly;
  if (flags & kCoVarargs) {
    plan.varargs_slot = slots++;
  }
  if (flags & kCoVarkeywords) {
    plan.varkw_slot = slots++;
  }
  plan.slots = slots;
  plan.positional_shape = plan.kwonly == 0 && plan.varargs_slot < 0 && plan.varkw_slot < 0;
}

// Reads the parameters' names; false when they are not exact strs.
bool read_parameter_names(BindingPlan& plan, PyObject* code) {
  plan.names = Ref::checked(PyObject_GetAttr(code, interned("co_varnames")));
  if (!PyTuple_Check(plan.names.get()) || PyTuple_Size(plan.names.get()) < plan.slots) {
    return false;
  }
  for (Py_ssize_t slot = 0; slot < plan.slots; ++slot) {
    PyObject* name = PyTuple_GetItem(plan.names.get(), slot);
    if (!PyUnicode_CheckExact(name)) {
      return false;
    }
    plan.slot_names.push_back(name);
    plan.slot_hashes.push_back(hash_of(name));
  }
  return true;
}

// Sorts the parameters other than self by name, and mixes their names into
// the call hash's state once.
void sort_parameters(BindingPlan& plan, PyObject* method_name, Py_hash_t method_name_hash) {
  std::vector<Py_ssize_t> sorted_slots;
  for (Py_ssize_t slot = 0; slot < plan.slots; ++slot) {
    if (PyUnicode_CompareWithASCIIString(plan.name(slot), "self") != 0) {
      sorted_slots.push_back(slot);
    }
  }
  std::sort(sorted_slots.begin(), sorted_slots.end(), [&](Py_ssize_t a, Py_ssize_t b) {
    return PyUnicode_Compare(plan.name(a), plan.name(b)) < 0;
  });
  CallHasher hasher(method_name_hash);
  for (Py_ssize_t slot : sorted_slots) {
    const Py_hash_t name_hash = plan.slot_hashes[static_cast<std::size_t>(slot)];
    plan.sorted_parameters.push_back({slot, plan.name(slot), name_hash});
    hasher.add_name(name_hash);
  }
  plan.shape_hash_state = hasher.shape_state();
  plan.shape = make_shape(method_name, plan.sorted_parameters.size(),
                          [&](std::size_t i) { return plan.sorted_parameters[i].name; });
}

}  // namespace

std::unique_ptr<BindingPlan> read_plan(Ref code, PyObject* method_name,
                                       Py_hash_t method_name_hash) {
  auto plan = std::make_unique<BindingPlan>();
  read_parameter_counts(*plan, code.get());
  if (!read_parameter_names(*plan, code.get())) {
    return nullptr;
  }
  sort_parameters(*plan, method_name, method_name_hash);
  plan->code = std::move(code);
  return plan;
}

}  // namespace quarrine
