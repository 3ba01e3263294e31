// Binding call arguments to a function's parameters. See call_binder.hpp.
#include "py_introspection_utils/call_binder.hpp"

#include "py_introspection_utils/host_services.hpp"

#include <algorithm>
#include <cassert>

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

// How the parameters of one code object are bound: one slot per parameter,
// in the code object's order.
struct BindingPlan {
  Ref code;   // the code object this plan was read from
  Ref names;  // co_varnames: the parameters first, in slot order
  Py_ssize_t argcount = 0;
  Py_ssize_t posonly = 0;
  Py_ssize_t kwonly = 0;
  Py_ssize_t varargs_slot = -1;
  Py_ssize_t varkw_slot = -1;
  Py_ssize_t slots = 0;
  // Parameters only by position or keyword, none variadic or keyword-only:
  // a call without keywords then binds by position alone.
  bool positional_shape = false;
  std::vector<PyObject*> slot_names;     // borrowed from `names`
  std::vector<Py_hash_t> slot_hashes;    // the hash of each slot's name
  // The parameters by name, self left out, with what the binding reads.
  struct SortedParameter {
    Py_ssize_t slot;
    PyObject* name;  // borrowed from `names`
    Py_hash_t name_hash;
  };
  std::vector<SortedParameter> sorted_parameters;
  // (method name, the sorted parameters' names...): the shape that the call
  // keys of this plan share, and the call hash's state once it is mixed.
  Ref shape;
  std::uint64_t shape_hash_state = 0;

  PyObject* name(Py_ssize_t slot) const { return slot_names[static_cast<std::size_t>(slot)]; }
};

namespace {

// Whether the function's own attribute dict (read directly: a function
// always has one) holds a wrapper's __signature__ or __wrapped__, which
// sends the call to inspect.
bool has_signature_override(PyObject* function) {
  // A function's __dict__ can only ever be set to a dict.
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

// The plan of a code object, or null for one whose parameters the native
// binding does not cover.
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

// Places the positional arguments, and the surplus ones in *args. Returns
// how many parameters they bound, or -1 when there are too many.
Py_ssize_t place_positional(const BindingPlan& plan, PyObject* args, PyObject** slots,
                            BoundCall& out) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given > plan.argcount && plan.varargs_slot < 0) {
    return -1;
  }
  const Py_ssize_t positional = std::min(given, plan.argcount);
  for (Py_ssize_t i = 0; i < positional; ++i) {
    slots[i] = PyTuple_GetItem(args, i);
  }
  if (plan.varargs_slot >= 0) {
    Ref extra = Ref::checked(given > plan.argcount ? PyTuple_GetSlice(args, plan.argcount, given)
                                                   : PyTuple_New(0));
    slots[plan.varargs_slot] = extra.get();
    out.keep(std::move(extra));
  }
  return positional;
}

// The slot of the parameter that may be given by the keyword `key`, or -1.
Py_ssize_t keyword_slot(const BindingPlan& plan, PyObject* key) {
  const Py_ssize_t named_end = plan.argcount + plan.kwonly;
  for (Py_ssize_t slot = plan.posonly; slot < named_end; ++slot) {
    if (plan.name(slot) == key) {
      return slot;
    }
  }
  for (Py_ssize_t slot = plan.posonly; slot < named_end; ++slot) {
    if (PyUnicode_Compare(plan.name(slot), key) == 0) {
      return slot;
    }
  }
  return -1;
}

// Collects a keyword that names no parameter into the dict for **kwargs
// (made on first use); false when the function has no **kwargs or the name
// is that of a positional-only parameter.
bool collect_extra_keyword(const BindingPlan& plan, PyObject* key, PyObject* value, Ref& extra) {
  if (plan.varkw_slot < 0) {
    return false;
  }
  for (Py_ssize_t slot = 0; slot < plan.posonly; ++slot) {
    if (PyUnicode_Compare(plan.name(slot), key) == 0) {
      return false;
    }
  }
  if (!extra) {
    extra = Ref::checked(PyDict_New());
  }
  require(PyDict_SetItem(extra.get(), key, value));
  return true;
}

// Places the keyword arguments, collecting the others for **kwargs; false
// when a keyword does not fit (inspect then words the error).
bool place_keywords(const BindingPlan& plan, PyObject* kwargs, PyObject** slots, BoundCall& out) {
  // The keyword dict may be the caller's own (a thread's start hands its
  // dict over so), and hashing may run code that changes it: each value
  // taken from it is kept for the call.
  Ref extra_keywords;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      return false;
    }
    if (Py_ssize_t found = keyword_slot(plan, key); found >= 0) {
      if (slots[found] != nullptr) {
        return false;  // given twice
      }
      out.keep(Ref::borrow(value));
      slots[found] = value;
      continue;
    }
    if (!collect_extra_keyword(plan, key, value, extra_keywords)) {
      return false;
    }
  }
  if (plan.varkw_slot >= 0) {
    if (!extra_keywords) {
      extra_keywords = Ref::checked(PyDict_New());
    }
    slots[plan.varkw_slot] = extra_keywords.get();
    out.keep(std::move(extra_keywords));
  }
  return true;
}

// Fills the positional parameters from `first` on that are left unbound from
// __defaults__, read only when a parameter needs one and anew at each call,
// so that reassigning them is seen at once; false when one has no default.
bool fill_defaults(const BindingPlan& plan, PyObject* function, Py_ssize_t first, PyObject** slots,
                   BoundCall& out) {
  Ref defaults;
  for (Py_ssize_t slot = first; slot < plan.argcount; ++slot) {
    if (slots[slot] != nullptr) {
      continue;
    }
    if (!defaults) {
      defaults = read_function_attribute(FunctionAttribute::Defaults, function);
    }
    Py_ssize_t count = PyTuple_Check(defaults.get()) ? PyTuple_Size(defaults.get()) : 0;
    Py_ssize_t first_default = plan.argcount - count;
    if (count > plan.argcount || slot < first_default) {
      return false;  // missing, or defaults that do not fit the code
    }
    slots[slot] = PyTuple_GetItem(defaults.get(), slot - first_default);
  }
  if (defaults) {
    out.keep(std::move(defaults));
  }
  return true;
}

// The same for the keyword-only parameters, from __kwdefaults__.
bool fill_keyword_defaults(const BindingPlan& plan, PyObject* function, PyObject** slots,
                           BoundCall& out) {
  Ref keyword_defaults;
  for (Py_ssize_t slot = plan.argcount; slot < plan.argcount + plan.kwonly; ++slot) {
    if (slots[slot] != nullptr) {
      continue;
    }
    if (!keyword_defaults) {
      keyword_defaults = read_function_attribute(FunctionAttribute::KeywordDefaults, function);
    }
    if (!PyDict_Check(keyword_defaults.get())) {
      return false;
    }
    PyObject* value = PyDict_GetItemWithError(keyword_defaults.get(), plan.name(slot));
    if (value == nullptr) {
      if (PyErr_Occurred() != nullptr) {
        throw_python_error();
      }
      return false;
    }
    // The defaults dict may change while the call is hashed; keep the value.
    out.keep(Ref::borrow(value));
    slots[slot] = value;
  }
  return true;
}

}  // namespace

CallBinder::CallBinder(PyObject* function, PyObject* method_name)
    : function_(function),
      method_name_(method_name),
      method_name_hash_(hash_of(method_name)),
      plain_function_(Py_TYPE(function) ==
                      reinterpret_cast<PyTypeObject*>(quarrine::function_type())) {}

CallBinder::~CallBinder() = default;

const BindingPlan* CallBinder::current_plan() {
  if (!plain_function_ || has_signature_override(function_)) {
    return nullptr;
  }
  Ref code = read_function_attribute(FunctionAttribute::Code, function_);
  for (const auto& plan : plans_) {
    if (plan->code.get() == code.get()) {
      return plan.get();
    }
  }
  std::unique_ptr<BindingPlan> plan = read_plan(std::move(code), method_name_, method_name_hash_);
  if (!plan) {
    return nullptr;
  }
  plans_.push_back(std::move(plan));
  return plans_.back().get();
}

// A call by position alone of a function whose parameters are all
// positional-or-keyword: each parameter is its argument or its default, read
// straight into the sorted items. The instance, bound to self, is not read.
bool CallBinder::bind_positionally(const BindingPlan& plan, PyObject* args, BoundCall& out) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given > plan.argcount) {
    return false;  // too many arguments: inspect words the error
  }
  PyObject* defaults = nullptr;
  Py_ssize_t first_default = plan.argcount;
  if (given < plan.argcount) {
    // Read anew at each call, so that reassigning __defaults__ is seen at
    // once, and kept: hashing may run code that reassigns it.
    // __defaults__ is a tuple or None: its setter accepts nothing else.
    Ref read = read_function_attribute(FunctionAttribute::Defaults, function_);
    const Py_ssize_t count = read.get() != Py_None ? PyTuple_Size(read.get()) : 0;
    first_default = plan.argcount - count;
    if (count > plan.argcount || given < first_default) {
      return false;  // a missing argument, or defaults that do not fit the code
    }
    defaults = read.get();
    out.keep(std::move(read));
  }
  // Hashed as bound: the values are kept alive by the argument tuple and the
  // kept defaults, whatever the hashing runs.
  CallHasher hasher = CallHasher::resume(plan.shape_hash_state);
  for (const BindingPlan::SortedParameter& parameter : plan.sorted_parameters) {
    PyObject* value = parameter.slot < given
                          ? PyTuple_GetItem(args, parameter.slot)
                          : PyTuple_GetItem(defaults, parameter.slot - first_default);
    out.add(parameter.name, value, parameter.name_hash);
    hasher.add_value(value);
  }
  out.shape = plan.shape.get();
  out.method_name_hash = method_name_hash_;
  out.hash = hasher.finish(plan.sorted_parameters.size());
  return true;
}

bool CallBinder::bind_natively(const BindingPlan& plan, PyObject* args, PyObject* kwargs,
                               BoundCall& out) {
  const bool has_keywords = kwargs != nullptr && PyDict_Size(kwargs) > 0;
  constexpr Py_ssize_t kInlineSlots = 16;
  PyObject* inline_slots[kInlineSlots];
  std::vector<PyObject*> spilled;
  PyObject** slots = inline_slots;
  if (plan.slots > kInlineSlots) {
    spilled.resize(static_cast<std::size_t>(plan.slots));
    slots = spilled.data();
  }
  std::fill(slots, slots + plan.slots, nullptr);
  const Py_ssize_t positional = place_positional(plan, args, slots, out);
  if (positional < 0 ||
      !place_keywords(plan, has_keywords ? kwargs : nullptr, slots, out) ||
      !fill_defaults(plan, function_, positional, slots, out) ||
      !fill_keyword_defaults(plan, function_, slots, out)) {
    return false;
  }
  // The names are borrowed from the plan, which lives as long as the binder.
  for (const BindingPlan::SortedParameter& parameter : plan.sorted_parameters) {
    out.add(parameter.name, slots[parameter.slot], parameter.name_hash);
  }
  out.shape = plan.shape.get();
  return true;
}

void CallBinder::bind_with_inspect(PyObject* args, PyObject* kwargs, BoundCall& out) {
  Ref signature =
      Ref::checked(PyObject_CallFunctionObjArgs(inspect_signature(), function_, nullptr));
  Ref bind = Ref::checked(PyObject_GetAttr(signature.get(), interned("bind")));
  Ref bound = Ref::checked(PyObject_Call(bind.get(), args, kwargs));
  Ref ignored =
      Ref::checked(PyObject_CallMethodObjArgs(bound.get(), interned("apply_defaults"), nullptr));
  Ref arguments = Ref::checked(PyObject_GetAttr(bound.get(), interned("arguments")));
  add_mapping_items(arguments.get(), out);
  out.keep(std::move(arguments));
  out.give_shape();
}

void CallBinder::bind(PyObject* args, PyObject* kwargs, BoundCall& out) {
  assert(out.is_fresh());
  out.method_name = method_name_;
  if (const BindingPlan* plan = current_plan()) {
    if (plan->positional_shape && (kwargs == nullptr || PyDict_Size(kwargs) == 0)) {
      if (bind_positionally(*plan, args, out)) {
        return;  // bound and hashed
      }
    } else if (bind_natively(*plan, args, kwargs, out)) {
      out.method_name_hash = method_name_hash_;
      compute_call_hash(out);
      return;
    }
    out.reset(method_name_);
  }
  bind_with_inspect(args, kwargs, out);
  out.method_name_hash = method_name_hash_;
  compute_call_hash(out);
}

}  // namespace quarrine
