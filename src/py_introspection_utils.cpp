// Function introspection and the interpreter services it rests on. See
// py_introspection_utils.hpp.
#include "py_introspection_utils.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <unordered_map>
#include <unordered_set>

namespace quarrine {

// ================================================================ errors

void throw_python_error() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PyErrOccurred{};
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "internal error in quarrine: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error in quarrine");
  }
}

void raise_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrOccurred{};
}

void raise_wrong_type(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    Ref type_name = Ref::checked(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
                 expected);
  }
  throw PyErrOccurred{};
}

std::string_view text_of(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(value, "str");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    throw_python_error();
  }
  return {text, static_cast<std::size_t>(size)};
}

void attach_processing_note(const char* parameter) noexcept {
  FetchedError error;
  if (error.value() != nullptr) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    Ref add_note = Ref::steal(PyUnicode_FromString("add_note"));
    if (note && add_note) {
      Ref result = Ref::steal(
          PyObject_CallMethodObjArgs(error.value(), add_note.get(), note.get(), nullptr));
    }
    // A note that cannot be attached is left out; the original error stands.
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
    }
  }
  error.restore();
}

[[noreturn]] void raise_wrapping_pending(PyObject* type, const char* prefix) {
  FetchedError error;
  if (error.type() == nullptr) {
    throw_python_error();
  }
  Ref type_name = Ref::checked(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(error.type())));
  Ref text = Ref::checked(PyObject_Str(error.value() != nullptr ? error.value() : Py_None));
  PyErr_Format(type, "%s%U: %U", prefix, type_name.get(), text.get());
  throw PyErrOccurred{};
}

namespace {

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = Ref::checked(PyType_GetName(type));
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool flag_value(PyObject* value) {
  if (PyBool_Check(value)) {
    return value == Py_True;
  }
  if (is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
      throw_python_error();
    }
    return truth == 1;
  }
  raise_wrong_type(value, "bool");
}

// ======================================== arguments of the module's methods

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter joins names.
std::string join_quoted(const std::vector<const char*>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      joined += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    joined += '\'';
    joined += names[i];
    joined += '\'';
  }
  return joined;
}

}  // namespace

void parse_method_arguments(const MethodParameters& parameters, PyObject* args,
                            PyObject* kwargs, std::span<PyObject*> values,
                            Ref* extra_keywords) {
  const std::size_t count = parameters.names.size();
  const char* const* names = parameters.names.begin();
  std::fill(values.begin(), values.end(), nullptr);
  Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) {
    throw_python_error();
  }
  for (Py_ssize_t i = 0; i < given && static_cast<std::size_t>(i) < count; ++i) {
    values[i] = PyTuple_GetItem(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", parameters.qualified_name);
        throw PyErrOccurred{};
      }
      std::size_t index = 0;
      while (index < count && PyUnicode_CompareWithASCIIString(key, names[index]) != 0) {
        ++index;
      }
      if (index < count) {
        if (values[index] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                       parameters.qualified_name, names[index]);
          throw PyErrOccurred{};
        }
        values[index] = value;
      } else if (parameters.var_keyword && extra_keywords != nullptr) {
        if (!*extra_keywords) {
          *extra_keywords = Ref::checked(PyDict_New());
        }
        if (PyDict_SetItem(extra_keywords->get(), key, value) < 0) {
          throw_python_error();
        }
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     parameters.qualified_name, key);
        throw PyErrOccurred{};
      }
    }
  }
  if (static_cast<std::size_t>(given) > count) {
    // The counts include self, as the interpreter counts for a method.
    std::size_t most = count + 1;
    std::size_t least = parameters.required + 1;
    const char* verb = given + 1 == 1 ? "was" : "were";
    if (least < most) {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd %s given",
                   parameters.qualified_name, least, most, given + 1, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                   parameters.qualified_name, most, most == 1 ? "" : "s", given + 1, verb);
    }
    throw PyErrOccurred{};
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (values[i] == nullptr) {
      missing.push_back(names[i]);
    }
  }
  if (!missing.empty()) {
    std::string joined = join_quoted(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 parameters.qualified_name, missing.size(), missing.size() == 1 ? "" : "s",
                 joined.c_str());
    throw PyErrOccurred{};
  }
}

// ========================================================= host services

namespace {

// References kept for the life of the process. The holder is never
// destroyed, so nothing is released after the interpreter has gone.
struct HostServices {
  Ref method_type;
  newfunc method_new = nullptr;
  Ref method_arguments;  // a 2-tuple reused by new_bound_method
  bool method_arguments_busy = false;
  Ref function_type;
  Ref sequence_abc;
  Ref inspect_signature;
  std::unordered_map<const char*, Ref> interned;
};

HostServices& host() {
  static HostServices* services = new HostServices();
  return *services;
}

Ref import_attribute(const char* module_name, const char* attribute) {
  Ref module = Ref::checked(PyImport_ImportModule(module_name));
  return Ref::checked(PyObject_GetAttrString(module.get(), attribute));
}

// Fills `slot` once; a concurrent first use that lost the race drops its copy.
PyObject* lookup_once(Ref& slot, const char* module_name, const char* attribute) {
  if (!slot) {
    Ref found = import_attribute(module_name, attribute);
    if (!slot) {
      slot = std::move(found);
    }
  }
  return slot.get();
}

PyObject* function_type() { return lookup_once(host().function_type, "types", "FunctionType"); }

PyObject* inspect_signature() {
  return lookup_once(host().inspect_signature, "inspect", "signature");
}

}  // namespace

PyObject* interned(const char* text) {
  auto& table = host().interned;
  auto found = table.find(text);
  if (found != table.end()) {
    return found->second.get();
  }
  Ref name = Ref::checked(PyUnicode_InternFromString(text));
  PyObject* result = name.get();
  table.emplace(text, std::move(name));
  return result;
}

PyObject* method_type() { return lookup_once(host().method_type, "types", "MethodType"); }

PyObject* sequence_abc() { return lookup_once(host().sequence_abc, "collections.abc", "Sequence"); }

Ref new_bound_method(PyObject* function, PyObject* instance) {
  HostServices& services = host();
  if (services.method_new == nullptr) {
    auto* type = reinterpret_cast<PyTypeObject*>(method_type());
    services.method_new = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (services.method_new == nullptr) {
      throw_python_error();
    }
    services.method_arguments = Ref::checked(PyTuple_Pack(2, Py_None, Py_None));
  }
  auto* type = reinterpret_cast<PyTypeObject*>(services.method_type.get());
  PyObject* arguments = services.method_arguments.get();
  // The argument tuple is reused from one binding to the next while nobody
  // else holds it; its items are None between uses, so it keeps nothing
  // alive. A binding that starts while another is under way (a finaliser run
  // by the allocation) builds a tuple of its own.
  if (services.method_arguments_busy || Py_REFCNT(arguments) != 1) {
    Ref own = Ref::checked(PyTuple_Pack(2, function, instance));
    return Ref::checked(services.method_new(type, own.get(), nullptr));
  }
  services.method_arguments_busy = true;
  Py_IncRef(function);
  Py_IncRef(instance);
  PyTuple_SetItem(arguments, 0, function);  // takes over the new references,
  PyTuple_SetItem(arguments, 1, instance);  // releasing the Nones
  PyObject* method = services.method_new(type, arguments, nullptr);
  Py_IncRef(Py_None);
  Py_IncRef(Py_None);
  PyTuple_SetItem(arguments, 0, Py_None);
  PyTuple_SetItem(arguments, 1, Py_None);
  services.method_arguments_busy = false;
  return Ref::checked(method);
}

// ============================================================ call keys

void BoundCall::add_spilled(const CallItem& item) {
  if (spill_.empty()) {
    spill_.assign(inline_, inline_ + size_);
  }
  spill_.push_back(item);
  ++size_;
}

void BoundCall::keep(Ref object) {
  if (kept_count_ < kInlineKept) {
    kept_[kept_count_++] = std::move(object);
  } else {
    kept_spill_.push_back(std::move(object));
  }
}

void BoundCall::sort_by_name() {
  CallItem* first = data();
  // Names are distinct exact strs; code point order is the order of their
  // UTF-8 encodings.
  std::sort(first, first + size_, [](const CallItem& a, const CallItem& b) {
    return PyUnicode_Compare(a.name, b.name) < 0;
  });
}

void BoundCall::reset(PyObject* method) noexcept {
  size_ = 0;
  spill_.clear();
  for (std::size_t i = 0; i < kept_count_; ++i) {
    kept_[i].reset();
  }
  kept_count_ = 0;
  kept_spill_.clear();
  method_name = method;
  method_name_hash = -1;
  hash = 0;
}

namespace {

constexpr std::uint64_t kPrime1 = 11400714785074694791ULL;
constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;

inline std::uint64_t mix_lane(std::uint64_t accumulator, Py_hash_t lane) {
  accumulator += static_cast<std::uint64_t>(lane) * kPrime2;
  accumulator = (accumulator << 31) | (accumulator >> 33);
  return accumulator * kPrime1;
}

inline Py_hash_t hash_of(PyObject* object) {
  Py_hash_t hash = PyObject_Hash(object);
  if (hash == -1) {
    throw_python_error();
  }
  return hash;
}

inline bool same_text(PyObject* a, PyObject* b) {
  return a == b || PyUnicode_Compare(a, b) == 0;
}

// The name as an exact str for a key (a str subclass is copied), refusing
// what is not a str or cannot be encoded as UTF-8.
PyObject* exact_name(PyObject* key, BoundCall& out) {
  std::string_view text = text_of(key);
  if (PyUnicode_CheckExact(key)) {
    return key;
  }
  Ref copy = Ref::checked(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyObject* name = copy.get();
  out.keep(std::move(copy));
  return name;
}

// Adds every entry of a mapping of parameter names to values, except self.
void add_mapping_items(PyObject* mapping, BoundCall& out) {
  if (!PyDict_Check(mapping)) {
    raise_wrong_type(mapping, "dict");
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    PyObject* name = exact_name(key, out);
    if (text_of(name) == "self") {
      continue;
    }
    out.add(name, value, hash_of(name));
  }
  out.sort_by_name();
}

}  // namespace

void compute_call_hash(BoundCall& call) {
  std::uint64_t accumulator = kPrime5;
  accumulator = mix_lane(accumulator, call.method_name_hash != -1 ? call.method_name_hash
                                                                  : hash_of(call.method_name));
  for (const CallItem& item : call.items()) {
    accumulator = mix_lane(accumulator, item.name_hash);
    accumulator = mix_lane(accumulator, hash_of(item.value));
  }
  accumulator += (call.items().size() * 2 + 1) ^ (kPrime5 ^ 3527539ULL);
  auto hash = static_cast<Py_hash_t>(accumulator);
  call.hash = hash == -1 ? 1546275796 : hash;
}

CallKey::CallKey(const BoundCall& call)
    : parts_(new Ref[1 + 2 * call.items().size()]),
      item_count_(static_cast<std::uint32_t>(call.items().size())),
      hash_(call.hash) {
  parts_[0] = Ref::borrow(call.method_name);
  std::size_t index = 1;
  for (const CallItem& item : call.items()) {
    parts_[index++] = Ref::borrow(item.name);
    parts_[index++] = Ref::borrow(item.value);
  }
}

bool CallKey::matches(const BoundCall& call) const {
  std::span<const CallItem> items = call.items();
  if (items.size() != item_count_ || !same_text(parts_[0].get(), call.method_name)) {
    return false;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!same_text(parts_[2 * i + 1].get(), items[i].name)) {
      return false;
    }
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    int equal = PyObject_RichCompareBool(parts_[2 * i + 2].get(), items[i].value, Py_EQ);
    if (equal < 0) {
      throw_python_error();
    }
    if (equal == 0) {
      return false;
    }
  }
  return true;
}

void CallKey::view(BoundCall& out) const {
  out.reset(parts_[0].get());
  for (std::size_t i = 0; i < item_count_; ++i) {
    PyObject* name = parts_[2 * i + 1].get();
    out.add(name, parts_[2 * i + 2].get(), hash_of(name));
  }
  out.hash = hash_;
}

Ref CallKey::as_tuple() const {
  Ref items = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(item_count_)));
  for (std::size_t i = 0; i < item_count_; ++i) {
    Ref pair = Ref::checked(PyTuple_Pack(2, parts_[2 * i + 1].get(), parts_[2 * i + 2].get()));
    // PyTuple_SetItem takes over the pair's reference.
    PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return Ref::checked(PyTuple_Pack(2, parts_[0].get(), items.get()));
}

Ref CallKey::report_key() const {
  if (item_count_ == 0) {
    return Ref::borrow(parts_[0].get());
  }
  return as_tuple();
}

int CallKey::traverse(visitproc visit, void* arg) const {
  for (std::size_t i = 0; i < item_count_; ++i) {
    Py_VISIT(parts_[2 * i + 2].get());
  }
  return 0;
}

void bind_keywords(PyObject* method_name, PyObject* keywords, BoundCall& out) {
  out.reset(method_name);
  if (keywords != nullptr) {
    add_mapping_items(keywords, out);
  }
  compute_call_hash(out);
}

// ------------------------------------------------------------ CallBinder

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

// Reads one attribute of plain functions through its descriptor on
// types.FunctionType, skipping the generic attribute lookup (the descriptor
// is a data descriptor, so an instance dict cannot hide it). Made once and
// kept for the life of the process.
class FunctionAttribute {
 public:
  explicit FunctionAttribute(const char* name) {
    Ref type_dict = Ref::checked(PyObject_GetAttrString(function_type(), "__dict__"));
    Ref name_object = Ref::checked(PyUnicode_FromString(name));
    descriptor_ = Ref::checked(PyObject_GetItem(type_dict.get(), name_object.get()));
    get_ = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor_.get()), Py_tp_descr_get));
    if (get_ == nullptr) {
      raise_error(PyExc_SystemError, "a function attribute has no descriptor");
    }
  }
  Ref read(PyObject* function) const {
    return Ref::checked(get_(descriptor_.get(), function, owner_));
  }

 private:
  PyObject* owner_ = function_type();  // kept for the life of the process
  Ref descriptor_;
  descrgetfunc get_ = nullptr;
};

const FunctionAttribute& function_attribute(const char* name) {
  // Immortal: never destroyed, so never released after the interpreter.
  return *new FunctionAttribute(name);
}

// A function attribute set by wrappers that inspect.signature honours.
const char* const kSignatureOverrides[] = {"__signature__", "__wrapped__", "_partialmethod",
                                           "__partialmethod__"};

}  // namespace

struct CallBinder::Plan {
  Ref code;    // the code object this plan was read from
  Ref names;   // co_varnames: the parameters first, in slot order
  Py_ssize_t argcount = 0;
  Py_ssize_t posonly = 0;
  Py_ssize_t kwonly = 0;
  Py_ssize_t varargs_slot = -1;
  Py_ssize_t varkw_slot = -1;
  Py_ssize_t slots = 0;
  std::vector<Py_ssize_t> sorted_slots;  // parameters by name, self left out
  std::vector<PyObject*> slot_names;     // borrowed from `names`
  std::vector<Py_hash_t> slot_hashes;    // the hash of each slot's name

  PyObject* name(Py_ssize_t slot) const { return slot_names[static_cast<std::size_t>(slot)]; }
};

CallBinder::CallBinder(PyObject* function, PyObject* method_name)
    : function_(function),
      method_name_(method_name),
      method_name_hash_(hash_of(method_name)),
      plain_function_(Py_TYPE(function) ==
                      reinterpret_cast<PyTypeObject*>(quarrine::function_type())) {}

CallBinder::~CallBinder() = default;

const CallBinder::Plan* CallBinder::current_plan() {
  if (!plain_function_) {
    return nullptr;
  }
  // The function's own attribute dict, read directly (a function always has
  // one); a wrapper's __signature__ or __wrapped__ there sends the call to
  // inspect.
  Ref attributes = Ref::checked(PyObject_GenericGetDict(function_, nullptr));
  if (PyDict_Check(attributes.get()) && PyDict_Size(attributes.get()) > 0) {
    for (const char* name : kSignatureOverrides) {
      if (PyDict_GetItemWithError(attributes.get(), interned(name)) != nullptr) {
        return nullptr;
      }
      if (PyErr_Occurred() != nullptr) {
        throw_python_error();
      }
    }
  }
  static const FunctionAttribute& code_attribute = function_attribute("__code__");
  Ref code = code_attribute.read(function_);
  for (const auto& plan : plans_) {
    if (plan->code.get() == code.get()) {
      return plan.get();
    }
  }
  auto plan = std::make_unique<Plan>();
  plan->argcount = integer_attribute(code.get(), "co_argcount");
  plan->posonly = integer_attribute(code.get(), "co_posonlyargcount");
  plan->kwonly = integer_attribute(code.get(), "co_kwonlyargcount");
  Py_ssize_t flags = integer_attribute(code.get(), "co_flags");
  Py_ssize_t slots = plan->argcount + plan->kwonly;
  if (flags & kCoVarargs) {
    plan->varargs_slot = slots++;
  }
  if (flags & kCoVarkeywords) {
    plan->varkw_slot = slots++;
  }
  plan->slots = slots;
  plan->names = Ref::checked(PyObject_GetAttr(code.get(), interned("co_varnames")));
  if (!PyTuple_Check(plan->names.get()) || PyTuple_Size(plan->names.get()) < slots) {
    return nullptr;
  }
  for (Py_ssize_t slot = 0; slot < slots; ++slot) {
    PyObject* name = PyTuple_GetItem(plan->names.get(), slot);
    if (!PyUnicode_CheckExact(name)) {
      return nullptr;
    }
    plan->slot_names.push_back(name);
    plan->slot_hashes.push_back(hash_of(name));
    if (PyUnicode_CompareWithASCIIString(name, "self") != 0) {
      plan->sorted_slots.push_back(slot);
    }
  }
  std::sort(plan->sorted_slots.begin(), plan->sorted_slots.end(),
            [&](Py_ssize_t a, Py_ssize_t b) {
              return PyUnicode_Compare(plan->name(a), plan->name(b)) < 0;
            });
  plan->code = std::move(code);
  plans_.push_back(std::move(plan));
  return plans_.back().get();
}

bool CallBinder::bind_natively(const Plan& plan, PyObject* args, PyObject* kwargs,
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

  const Py_ssize_t given = PyTuple_Size(args);
  if (given > plan.argcount && plan.varargs_slot < 0) {
    return false;
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

  // The keyword dict is private to this call (the interpreter builds it for
  // the call), so its values stay alive while the call is bound.
  Ref extra_keywords;
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    const Py_ssize_t named_end = plan.argcount + plan.kwonly;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        return false;
      }
      Py_ssize_t found = -1;
      for (Py_ssize_t slot = plan.posonly; slot < named_end; ++slot) {
        if (plan.name(slot) == key) {
          found = slot;
          break;
        }
      }
      for (Py_ssize_t slot = plan.posonly; found < 0 && slot < named_end; ++slot) {
        if (PyUnicode_Compare(plan.name(slot), key) == 0) {
          found = slot;
        }
      }
      if (found >= 0) {
        if (slots[found] != nullptr) {
          return false;  // given twice: inspect words the error
        }
        slots[found] = value;
        continue;
      }
      if (plan.varkw_slot < 0) {
        return false;  // unexpected keyword
      }
      for (Py_ssize_t slot = 0; slot < plan.posonly; ++slot) {
        if (PyUnicode_Compare(plan.name(slot), key) == 0) {
          return false;  // a positional-only name given by keyword
        }
      }
      if (!extra_keywords) {
        extra_keywords = Ref::checked(PyDict_New());
      }
      if (PyDict_SetItem(extra_keywords.get(), key, value) < 0) {
        throw_python_error();
      }
    }
  }
  if (plan.varkw_slot >= 0) {
    if (!extra_keywords) {
      extra_keywords = Ref::checked(PyDict_New());
    }
    slots[plan.varkw_slot] = extra_keywords.get();
    out.keep(std::move(extra_keywords));
  }

  // Defaults are read only when a parameter needs one, and anew at each
  // call, so that reassigning them is seen at once.
  Ref defaults;
  for (Py_ssize_t slot = positional; slot < plan.argcount; ++slot) {
    if (slots[slot] != nullptr) {
      continue;
    }
    if (!defaults) {
      static const FunctionAttribute& defaults_attribute = function_attribute("__defaults__");
      defaults = defaults_attribute.read(function_);
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
  Ref keyword_defaults;
  for (Py_ssize_t slot = plan.argcount; slot < plan.argcount + plan.kwonly; ++slot) {
    if (slots[slot] != nullptr) {
      continue;
    }
    if (!keyword_defaults) {
      static const FunctionAttribute& keyword_defaults_attribute =
          function_attribute("__kwdefaults__");
      keyword_defaults = keyword_defaults_attribute.read(function_);
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

  // The names are borrowed from the plan, which lives as long as the binder.
  for (Py_ssize_t slot : plan.sorted_slots) {
    out.add(plan.name(slot), slots[slot], plan.slot_hashes[static_cast<std::size_t>(slot)]);
  }
  return true;
}

void CallBinder::bind_with_inspect(PyObject* args, PyObject* kwargs, BoundCall& out) {
  Ref signature = Ref::checked(
      PyObject_CallFunctionObjArgs(inspect_signature(), function_, nullptr));
  Ref bind = Ref::checked(PyObject_GetAttr(signature.get(), interned("bind")));
  Ref bound = Ref::checked(PyObject_Call(bind.get(), args, kwargs));
  Ref ignored = Ref::checked(
      PyObject_CallMethodObjArgs(bound.get(), interned("apply_defaults"), nullptr));
  Ref arguments = Ref::checked(PyObject_GetAttr(bound.get(), interned("arguments")));
  add_mapping_items(arguments.get(), out);
  out.keep(std::move(arguments));
}

void CallBinder::bind(PyObject* args, PyObject* kwargs, BoundCall& out) {
  out.reset(method_name_);
  const Plan* plan = current_plan();
  if (plan == nullptr || !bind_natively(*plan, args, kwargs, out)) {
    out.reset(method_name_);
    bind_with_inspect(args, kwargs, out);
  }
  out.method_name_hash = method_name_hash_;
  compute_call_hash(out);
}

// ============================================ dependencies and self-only check

std::vector<DependencySpec> parse_dependencies(PyObject* dependencies) {
  if (!PyList_Check(dependencies)) {
    raise_wrong_type(dependencies, "list");
  }
  std::vector<DependencySpec> specs;
  // The list is read by index each time: an element's conversion cannot run
  // user code, but the list's length is read anew to stay in bounds.
  for (Py_ssize_t i = 0; i < PyList_Size(dependencies); ++i) {
    Ref element = Ref::borrow(PyList_GetItem(dependencies, i));
    PyObject* item = element.get();
    if (PyTuple_Check(item) && PyTuple_Size(item) == 2) {
      std::string_view name = text_of(PyTuple_GetItem(item, 0));
      PyObject* keywords = PyTuple_GetItem(item, 1);
      if (!PyDict_Check(keywords)) {
        raise_wrong_type(keywords, "dict");
      }
      specs.push_back({std::string(name), Ref::borrow(keywords)});
    } else if (PyUnicode_Check(item)) {
      std::string name(text_of(item));
      specs.push_back({std::move(name), Ref::checked(PyDict_New())});
    } else {
      raise_error(PyExc_ValueError, "Dependency must be a tuple (str, dict) or a str");
    }
  }
  return specs;
}

void validate_self_only_method(PyObject* function) {
  Ref inspect = Ref::checked(PyImport_ImportModule("inspect"));
  Ref builtins = Ref::checked(PyImport_ImportModule("builtins"));
  Ref signature_function = Ref::checked(PyObject_GetAttrString(inspect.get(), "signature"));
  Ref signature = Ref::checked(
      PyObject_CallFunctionObjArgs(signature_function.get(), function, nullptr));
  Ref parameters = Ref::checked(PyObject_GetAttr(signature.get(), interned("parameters")));
  Ref list_type = Ref::checked(PyObject_GetAttrString(builtins.get(), "list"));
  Ref names = Ref::checked(PyObject_CallFunctionObjArgs(list_type.get(), parameters.get(), nullptr));
  Py_ssize_t count = PyList_Size(names.get());
  if (count < 0) {
    throw_python_error();
  }
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < count; ++i) {
    texts.emplace_back(text_of(PyList_GetItem(names.get(), i)));
  }
  if (texts.size() == 1 && texts[0] == "self") {
    return;
  }
  std::string message = "Serialisable method must have exactly one parameter named 'self', got: [";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) {
      message += ", ";
    }
    message += '"';
    message += texts[i];
    message += '"';
  }
  message += ']';
  raise_error(PyExc_ValueError, message.c_str());
}

namespace {

// The node classes and helpers of the ast module, read once per inspection.
struct AstServices {
  Ref iter_child_nodes;
  Ref call;
  Ref attribute;
  Ref name;
};

bool is_instance(PyObject* object, PyObject* type) {
  int result = PyObject_IsInstance(object, type);
  if (result < 0) {
    throw_python_error();
  }
  return result == 1;
}

Py_ssize_t length_of(PyObject* object) {
  Py_ssize_t size = PyObject_Size(object);
  if (size < 0) {
    throw_python_error();
  }
  return size;
}

// Collects `node` if it is a call self.<name>() without arguments.
void examine_node(PyObject* node, const AstServices& ast, std::vector<DependencySpec>& found,
                  std::unordered_set<std::string>& seen) {
  if (!is_instance(node, ast.call.get())) {
    return;
  }
  Ref args = Ref::checked(PyObject_GetAttrString(node, "args"));
  Ref keywords = Ref::checked(PyObject_GetAttrString(node, "keywords"));
  if (length_of(args.get()) != 0 || length_of(keywords.get()) != 0) {
    return;
  }
  Ref function = Ref::checked(PyObject_GetAttrString(node, "func"));
  if (!is_instance(function.get(), ast.attribute.get())) {
    return;
  }
  Ref target = Ref::checked(PyObject_GetAttrString(function.get(), "value"));
  if (!is_instance(target.get(), ast.name.get())) {
    return;
  }
  Ref identifier = Ref::checked(PyObject_GetAttrString(target.get(), "id"));
  if (text_of(identifier.get()) != "self") {
    return;
  }
  Ref attribute = Ref::checked(PyObject_GetAttrString(function.get(), "attr"));
  std::string method_name(text_of(attribute.get()));
  if (seen.insert(method_name).second) {
    found.push_back({std::move(method_name), Ref::checked(PyDict_New())});
  }
}

Ref child_iterator(PyObject* node, const AstServices& ast) {
  Ref children = Ref::checked(
      PyObject_CallFunctionObjArgs(ast.iter_child_nodes.get(), node, nullptr));
  return Ref::checked(PyObject_GetIter(children.get()));
}

// Pre-order, depth-first walk of `root` and everything below it. The walk
// keeps its own stack of child iterators, so trees as deep as the parser
// accepts use no native recursion.
void visit(PyObject* root, const AstServices& ast, std::vector<DependencySpec>& found,
           std::unordered_set<std::string>& seen) {
  examine_node(root, ast, found, seen);
  std::vector<Ref> pending;
  pending.push_back(child_iterator(root, ast));
  while (!pending.empty()) {
    Ref child = Ref::steal(PyIter_Next(pending.back().get()));
    if (!child) {
      if (PyErr_Occurred() != nullptr) {
        throw_python_error();
      }
      pending.pop_back();
      continue;
    }
    examine_node(child.get(), ast, found, seen);
    pending.push_back(child_iterator(child.get(), ast));
  }
}

Ref str_from(std::string_view text) {
  return Ref::checked(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

std::vector<DependencySpec> ast_inspect_method_dependencies(PyObject* function) {
  Ref inspect = Ref::checked(PyImport_ImportModule("inspect"));
  Ref getsource = Ref::checked(PyObject_GetAttrString(inspect.get(), "getsource"));
  Ref source = Ref::checked(PyObject_CallFunctionObjArgs(getsource.get(), function, nullptr));
  Ref source_text = str_from(text_of(source.get()));

  Ref textwrap = Ref::checked(PyImport_ImportModule("textwrap"));
  Ref dedent = Ref::checked(PyObject_GetAttrString(textwrap.get(), "dedent"));
  Ref dedented = Ref::checked(PyObject_CallFunctionObjArgs(dedent.get(), source_text.get(), nullptr));
  Ref stripped = Ref::checked(PyObject_CallMethod(dedented.get(), "strip", nullptr));
  Ref cleaned = str_from(text_of(stripped.get()));

  Ref ast_module = Ref::checked(PyImport_ImportModule("ast"));
  Ref parse = Ref::checked(PyObject_GetAttrString(ast_module.get(), "parse"));
  Ref tree = Ref::steal(PyObject_CallFunctionObjArgs(parse.get(), cleaned.get(), nullptr));
  if (!tree) {
    raise_wrapping_pending(PyExc_ValueError, "failed to parse source: ");
  }

  Ref function_def = Ref::checked(PyObject_GetAttrString(ast_module.get(), "FunctionDef"));
  Ref async_function_def = Ref::checked(PyObject_GetAttrString(ast_module.get(), "AsyncFunctionDef"));
  AstServices ast{
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "iter_child_nodes")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Call")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Attribute")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Name")),
  };

  std::vector<DependencySpec> found;
  std::unordered_set<std::string> seen;
  Ref module_body = Ref::checked(PyObject_GetAttrString(tree.get(), "body"));
  Ref statements = Ref::checked(PyObject_GetIter(module_body.get()));
  while (Ref statement = Ref::steal(PyIter_Next(statements.get()))) {
    if (!is_instance(statement.get(), function_def.get()) &&
        !is_instance(statement.get(), async_function_def.get())) {
      continue;
    }
    Ref body = Ref::checked(PyObject_GetAttrString(statement.get(), "body"));
    Ref body_statements = Ref::checked(PyObject_GetIter(body.get()));
    while (Ref inner = Ref::steal(PyIter_Next(body_statements.get()))) {
      visit(inner.get(), ast, found, seen);
    }
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
  }
  if (PyErr_Occurred() != nullptr) {
    throw_python_error();
  }
  return found;
}

}  // namespace quarrine
