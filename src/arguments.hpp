// The argument conventions that every entry point of the module shares: the
// binding of a call of one of the module's own methods to its parameters
// (with the interpreter's usual TypeErrors), the conversion of str and flag
// arguments, and the note that names the parameter whose conversion failed.
// The unit holds no state.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace quarrine {

// The UTF-8 text of a str (or subclass); the wrong-type error otherwise.
std::string_view text_of(PyObject* value);
// A new exact str of UTF-8 text.
Ref str_of(std::string_view text);

// Runs `convert`; if it fails, the pending exception gets the note
// "while processing '<parameter>'" (when the note can be attached).
void attach_processing_note(const char* parameter) noexcept;
// Adds a note, formatted as PyUnicode_FromFormat does, to the pending
// exception through its add_note method; a note that cannot be made or
// attached is left out, and the exception stands as it was.
void attach_note(const char* format, ...) noexcept;
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

// Binds a call of one of the module's own methods, raising the interpreter's
// usual TypeErrors with the method named as "Class.method()". The counts in
// the messages include self, as for a method written in Python.
struct MethodParameters {
  const char* qualified_name;                // "QuarrineBase.load_cache"
  std::initializer_list<const char*> names;  // after self, in order
  std::size_t required;                      // how many leading names
  bool var_keyword;                          // collects other keywords
};

// `values` receives a reference of its own per name (empty when absent):
// the caller's kwargs may be a dict that code run later changes. Surplus
// keywords, when the method takes them, go into `extra_keywords` (left empty
// when there are none).
void parse_method_arguments(const MethodParameters& parameters, PyObject* args, PyObject* kwargs,
                            std::span<Ref> values, Ref* extra_keywords = nullptr);

}  // namespace quarrine
