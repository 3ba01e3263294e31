// Function introspection over the interpreter's services: the canonical key
// and hash of a call, the native binding of call arguments to a plain
// function's parameters (with inspect as the fallback), declared dependency
// specifications, the self-only check, the reading of a method's source for
// the calls it makes on self, and the argument conventions and error
// messages that every entry point of the module shares.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarrine {

// ------------------------------------------------------ errors and notes

// TypeError "'<type>' object is not an instance of '<expected>'" (or "'None'
// is not an instance of ..." for None).
[[noreturn]] void raise_wrong_type(PyObject* value, const char* expected);
[[noreturn]] void raise_error(PyObject* type, const char* message);

// Replaces the pending exception by `type` with the message
// prefix + "<its type's qualified name>: <its text>".
[[noreturn]] void raise_wrapping_pending(PyObject* type, const char* prefix);

// The UTF-8 text of a str (or subclass); the wrong-type error otherwise.
std::string_view text_of(PyObject* value);

// Runs `convert`; if it fails, the pending exception gets the note
// "while processing '<parameter>'" (when the note can be attached).
void attach_processing_note(const char* parameter) noexcept;
template <class Convert>
auto converting(const char* parameter, Convert&& convert) {
  try {
    return convert();
  } catch (const PyErrOccurred&) {
    attach_processing_note(parameter);
    throw;
  }
}

// A decorator option: a bool, or a numpy boolean through its truth value.
bool flag_value(PyObject* value);

// ---------------------------------------- arguments of the module's methods

// Binds a call of one of the module's own methods, raising the interpreter's
// usual TypeErrors with the method named as "Class.method()". The counts in
// the messages include self, as for a method written in Python.
struct MethodParameters {
  const char* qualified_name;                  // "QuarrineBase.load_cache"
  std::initializer_list<const char*> names;    // after self, in order
  std::size_t required;                        // how many leading names
  bool var_keyword;                            // collects other keywords
};

// `values` receives one borrowed reference per name (null when absent); the
// caller's args and kwargs keep them alive. Surplus keywords, when the method
// takes them, go into `extra_keywords` (left empty when there are none).
void parse_method_arguments(const MethodParameters& parameters, PyObject* args,
                            PyObject* kwargs, std::span<PyObject*> values,
                            Ref* extra_keywords = nullptr);

// -------------------------------------------------------- host services

// Looked up once and kept for the life of the process.
PyObject* method_type();               // types.MethodType
PyObject* sequence_abc();              // collections.abc.Sequence
// types.MethodType(function, instance), without building the call twice.
Ref new_bound_method(PyObject* function, PyObject* instance);
PyObject* interned(const char* text);  // an immortal interned str

// ------------------------------------------------------------ call keys

// One (name, value) pair of a bound call, with the name's hash. Name and
// value are borrowed; the BoundCall's kept references, its caller's
// arguments or a CallKey keep them alive.
struct CallItem {
  PyObject* name;
  PyObject* value;
  Py_hash_t name_hash;
};

class CallKey;

// A call reduced to its canonical parts without building any key: the method
// name, the (name, value) items sorted by name, and the call hash. A cache
// hit never needs more; a CallKey is made from it only when a node is made.
class BoundCall {
 public:
  BoundCall() = default;
  BoundCall(const BoundCall&) = delete;
  BoundCall& operator=(const BoundCall&) = delete;

  PyObject* method_name = nullptr;  // borrowed; kept alive by the caller
  Py_hash_t method_name_hash = -1;  // -1 until known
  Py_hash_t hash = 0;

  std::span<const CallItem> items() const noexcept { return {data(), size_}; }
  void add(PyObject* name, PyObject* value, Py_hash_t name_hash) {
    if (size_ < kInlineItems) {
      inline_[size_++] = {name, value, name_hash};
    } else {
      add_spilled({name, value, name_hash});
    }
  }
  void keep(Ref object);  // keeps alive an object that items point into
  void sort_by_name();
  void reset(PyObject* method) noexcept;

 private:
  static constexpr std::size_t kInlineItems = 8;
  static constexpr std::size_t kInlineKept = 3;
  void add_spilled(const CallItem& item);
  CallItem* data() noexcept { return spill_.empty() ? inline_ : spill_.data(); }
  const CallItem* data() const noexcept { return spill_.empty() ? inline_ : spill_.data(); }

  CallItem inline_[kInlineItems];
  std::vector<CallItem> spill_;
  std::size_t size_ = 0;
  Ref kept_[kInlineKept];
  std::size_t kept_count_ = 0;
  std::vector<Ref> kept_spill_;
};

// Mixes the hashes of the method name, the item names and the values (in
// item order) into the call hash; a value's hashing error propagates.
void compute_call_hash(BoundCall& call);

// The call key of one call as the module keeps it: the method name and the
// (name, value) pairs as owned references in one compact block, and the
// call hash. As a Python object it is the tuple
// (method name, ((name, value), ...)), built when it is asked for.
class CallKey {
 public:
  CallKey() noexcept = default;
  explicit CallKey(const BoundCall& call);
  CallKey(CallKey&&) noexcept = default;
  CallKey& operator=(CallKey&&) noexcept = default;

  explicit operator bool() const noexcept { return parts_ != nullptr; }
  Py_hash_t hash() const noexcept { return hash_; }
  PyObject* method_name() const noexcept { return parts_[0].get(); }
  std::size_t item_count() const noexcept { return item_count_; }
  PyObject* value(std::size_t index) const noexcept { return parts_[2 * index + 2].get(); }

  // Whether the key equals the call, as tuple equality would say: values are
  // compared with ==, which may run user code and raise.
  bool matches(const BoundCall& call) const;
  // The items of this key, borrowed from it, as a bound call.
  void view(BoundCall& out) const;
  Ref as_tuple() const;
  // The method name alone for a call without arguments, else the tuple.
  Ref report_key() const;
  // Visits the values (the names are strs, which hold no references).
  int traverse(visitproc visit, void* arg) const;

 private:
  std::unique_ptr<Ref[]> parts_;  // method name, then name and value per item
  std::uint32_t item_count_ = 0;
  Py_hash_t hash_ = 0;
};

// Binds keyword arguments taken as they stand (no function, no defaults);
// `keywords` may be null. `method_name` must be an exact str.
void bind_keywords(PyObject* method_name, PyObject* keywords, BoundCall& out);

// Binds the arguments of a call to a function's parameters, defaults filled
// in, parameters named self left out. Plain Python functions are bound
// natively from their code object, defaults and keyword defaults, read anew
// at each call; everything else, and every call whose arguments do not fit,
// goes through inspect.signature(func).bind(...), so that errors are
// inspect's own.
class CallBinder {
 public:
  // Both borrowed: the decorator owns them. `method_name` is an exact str.
  CallBinder(PyObject* function, PyObject* method_name);
  CallBinder(const CallBinder&) = delete;
  CallBinder& operator=(const CallBinder&) = delete;
  ~CallBinder();

  // `args` holds every positional argument (the instance first), `kwargs`
  // the keywords or null. Fills `out` with the sorted items and its hash.
  void bind(PyObject* args, PyObject* kwargs, BoundCall& out);

 private:
  struct Plan;
  const Plan* current_plan();
  bool bind_natively(const Plan& plan, PyObject* args, PyObject* kwargs, BoundCall& out);
  void bind_with_inspect(PyObject* args, PyObject* kwargs, BoundCall& out);

  PyObject* function_;     // borrowed from the owning decorator
  PyObject* method_name_;  // likewise
  Py_hash_t method_name_hash_;
  bool plain_function_;
  // Plans are kept until the binder dies: a call in progress may still use
  // one after the function's code was replaced by code that its hashing ran.
  std::vector<std::unique_ptr<Plan>> plans_;
};

// ------------------------------------------- dependencies and self-only check

// One declared dependency: the name of a method and the keyword arguments of
// the call depended on (a dict owned here).
struct DependencySpec {
  std::string method_name;
  Ref keywords;
};

std::vector<DependencySpec> parse_dependencies(PyObject* dependencies);
void validate_self_only_method(PyObject* function);
std::vector<DependencySpec> ast_inspect_method_dependencies(PyObject* function);

}  // namespace quarrine
