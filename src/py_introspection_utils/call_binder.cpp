// Binding call arguments to a function's parameters. See call_binder.hpp.
#include "py_introspection_utils/call_binder.hpp"

#include "py_introspection_utils/binding_plan.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <algorithm>
#include <cassert>

namespace quarrine {

namespace {

// Places the positional arguments, and the surplus ones in *args. Returns
// how many parameters they bound, or -1 when there are too many.
template <class Arguments>
Py_ssize_t place_positional(const BindingPlan& plan, const Arguments& arguments,
                            PyObject** slots, BoundCall& out) {
  const Py_ssize_t given = arguments.positional_count();
  if (given > plan.argcount && plan.varargs_slot < 0) {
    return -1;
  }
  const Py_ssize_t positional = std::min(given, plan.argcount);
  for (Py_ssize_t i = 0; i < positional; ++i) {
    slots[i] = arguments.positional(i);
  }
  if (plan.varargs_slot >= 0) {
    Ref extra = given > plan.argcount ? arguments.positional_slice(plan.argcount)
                                      : Ref::checked(PyTuple_New(0));
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
template <class Arguments>
bool place_keywords(const BindingPlan& plan, const Arguments& arguments, PyObject** slots,
                    BoundCall& out) {
  Ref extra_keywords;
  const bool placed = arguments.each_keyword([&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      return false;
    }
    if (Py_ssize_t found = keyword_slot(plan, key); found >= 0) {
      if (slots[found] != nullptr) {
        return false;  // given twice
      }
      if constexpr (Arguments::kKeywordValuesMayChange) {
        out.keep(Ref::borrow(value));
      }
      slots[found] = value;
      return true;
    }
    return collect_extra_keyword(plan, key, value, extra_keywords);
  });
  if (!placed) {
    return false;
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
template <class Arguments>
bool CallBinder::bind_positionally(const BindingPlan& plan, const Arguments& arguments,
                                   BoundCall& out) {
  const Py_ssize_t given = arguments.positional_count();
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
  // Hashed as bound: the values are kept alive by the caller's arguments and
  // the kept defaults, whatever the hashing runs.
  CallHasher hasher = CallHasher::resume(plan.shape_hash_state);
  for (const BindingPlan::SortedParameter& parameter : plan.sorted_parameters) {
    PyObject* value = parameter.slot < given
                          ? arguments.positional(parameter.slot)
                          : PyTuple_GetItem(defaults, parameter.slot - first_default);
    out.add(parameter.name, value, parameter.name_hash);
    hasher.add_value(value);
  }
  out.shape = plan.shape.get();
  out.method_name_hash = method_name_hash_;
  out.hash = hasher.finish(plan.sorted_parameters.size());
  return true;
}

template <class Arguments>
bool CallBinder::bind_natively(const BindingPlan& plan, const Arguments& arguments,
                               BoundCall& out) {
  constexpr Py_ssize_t kInlineSlots = 16;
  PyObject* inline_slots[kInlineSlots];
  std::vector<PyObject*> spilled;
  PyObject** slots = inline_slots;
  if (plan.slots > kInlineSlots) {
    spilled.resize(static_cast<std::size_t>(plan.slots));
    slots = spilled.data();
  }
  std::fill(slots, slots + plan.slots, nullptr);
  const Py_ssize_t positional = place_positional(plan, arguments, slots, out);
  if (positional < 0 || !place_keywords(plan, arguments, slots, out) ||
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

template <class Arguments>
void CallBinder::bind_with_inspect(const Arguments& arguments, BoundCall& out) {
  Ref signature =
      Ref::checked(PyObject_CallFunctionObjArgs(inspect_signature(), function_, nullptr));
  Ref bind = Ref::checked(PyObject_GetAttr(signature.get(), interned("bind")));
  Ref args = arguments.positional_tuple();
  Ref kwargs = arguments.keyword_dict();
  Ref bound = Ref::checked(PyObject_Call(bind.get(), args.get(), kwargs.get()));
  Ref ignored =
      Ref::checked(PyObject_CallMethodObjArgs(bound.get(), interned("apply_defaults"), nullptr));
  Ref bound_arguments = Ref::checked(PyObject_GetAttr(bound.get(), interned("arguments")));
  add_mapping_items(bound_arguments.get(), out);
  out.keep(std::move(bound_arguments));
  out.give_shape();
}

template <class Arguments>
void CallBinder::bind(const Arguments& arguments, BoundCall& out) {
  assert(out.is_fresh());
  out.method_name = method_name_;
  if (const BindingPlan* plan = current_plan()) {
    if (plan->positional_shape && !arguments.has_keywords()) {
      if (bind_positionally(*plan, arguments, out)) {
        return;  // bound and hashed
      }
    } else if (bind_natively(*plan, arguments, out)) {
      out.method_name_hash = method_name_hash_;
      compute_call_hash(out);
      return;
    }
    out.reset(method_name_);
  }
  bind_with_inspect(arguments, out);
  out.method_name_hash = method_name_hash_;
  compute_call_hash(out);
}

template void CallBinder::bind(const TupleArguments&, BoundCall&);
#if Py_LIMITED_API + 0 >= 0x030C0000
template void CallBinder::bind(const VectorArguments&, BoundCall&);
#endif

}  // namespace quarrine
