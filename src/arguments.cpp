// Argument conventions of the module's entry points. See arguments.hpp.
#include "arguments.hpp"

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

namespace quarrine {

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

Ref str_of(std::string_view text) {
  return Ref::checked(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void attach_note(const char* format, ...) noexcept {
  FetchedError error;
  if (error.value() != nullptr) {
    std::va_list arguments;
    va_start(arguments, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
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

void attach_processing_note(const char* parameter) noexcept {
  attach_note("while processing '%s'", parameter);
}

namespace {

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
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
    return require(PyObject_IsTrue(value)) == 1;
  }
  raise_wrong_type(value, "bool");
}

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

namespace {

// Places each keyword argument on its parameter, or in `extra_keywords` when
// the method collects other keywords.
void place_method_keywords(const MethodParameters& parameters, PyObject* kwargs,
                           std::span<Ref> values, Ref* extra_keywords) {
  const std::size_t count = parameters.names.size();
  const char* const* names = parameters.names.begin();
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_format(PyExc_TypeError, "%s() keywords must be strings", parameters.qualified_name);
    }
    std::size_t index = 0;
    while (index < count && PyUnicode_CompareWithASCIIString(key, names[index]) != 0) {
      ++index;
    }
    if (index < count) {
      if (values[index]) {
        raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     parameters.qualified_name, names[index]);
      }
      values[index] = Ref::borrow(value);
    } else if (parameters.var_keyword && extra_keywords != nullptr) {
      if (!*extra_keywords) {
        *extra_keywords = Ref::checked(PyDict_New());
      }
      require(PyDict_SetItem(extra_keywords->get(), key, value));
    } else {
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   parameters.qualified_name, key);
    }
  }
}

[[noreturn]] void raise_too_many_positional(const MethodParameters& parameters, Py_ssize_t given) {
  // The counts include self, as the interpreter counts for a method.
  std::size_t most = parameters.names.size() + 1;
  std::size_t least = parameters.required + 1;
  const char* verb = given + 1 == 1 ? "was" : "were";
  if (least < most) {
    raise_format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 parameters.qualified_name, least, most, given + 1, verb);
  }
  raise_format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
               parameters.qualified_name, most, most == 1 ? "" : "s", given + 1, verb);
}

void check_required(const MethodParameters& parameters, std::span<Ref> values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (!values[i]) {
      missing.push_back(parameters.names.begin()[i]);
    }
  }
  if (!missing.empty()) {
    std::string joined = join_quoted(missing);
    raise_format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 parameters.qualified_name, missing.size(), missing.size() == 1 ? "" : "s",
                 joined.c_str());
  }
}

}  // namespace

void parse_method_arguments(const MethodParameters& parameters, PyObject* args, PyObject* kwargs,
                            std::span<Ref> values, Ref* extra_keywords) {
  const std::size_t count = parameters.names.size();
  for (Ref& value : values) {
    value.reset();
  }
  Py_ssize_t given = args == nullptr ? 0 : require(PyTuple_Size(args));
  for (Py_ssize_t i = 0; i < given && static_cast<std::size_t>(i) < count; ++i) {
    values[i] = Ref::borrow(PyTuple_GetItem(args, i));
  }
  if (kwargs != nullptr) {
    place_method_keywords(parameters, kwargs, values, extra_keywords);
  }
  if (static_cast<std::size_t>(given) > count) {
    raise_too_many_positional(parameters, given);
  }
  check_required(parameters, values);
}

}  // namespace quarrine
