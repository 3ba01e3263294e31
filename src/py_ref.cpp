// The error idiom's functions: ending an operation with a Python exception
// set, and turning whatever escaped a boundary into one. See py_ref.hpp.
#include "py_ref.hpp"

#include <cstdarg>
#include <exception>

namespace quarrine {

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
  }
}

void raise_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrOccurred{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
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

void raise_wrapping_pending(PyObject* type, const char* prefix) {
  FetchedError error;
  if (error.type() == nullptr) {
    throw_python_error();
  }
  Ref type_name = Ref::checked(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(error.type())));
  Ref text = Ref::checked(PyObject_Str(error.value() != nullptr ? error.value() : Py_None));
  PyErr_Format(type, "%s%U: %U", prefix, type_name.get(), text.get());
  throw PyErrOccurred{};
}

void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace quarrine
