// Owned Python references and the module's one error idiom. The unit owns
// nothing itself; it defines how every other unit holds references, raises
// and reports errors. Its definitions are in py_ref.cpp.
//
// Rules of use:
//   * Every PyObject* that the module owns lives in a Ref. A Ref is made only
//     through Ref::steal (it takes over a new reference, typically the result
//     of an API call) or Ref::borrow (it adds a reference of its own).
//   * A raw PyObject* parameter or member is a borrowed reference; a comment
//     next to it says who keeps the object alive.
//   * Reference counts change only through Py_IncRef and Py_DecRef, so that a
//     debug interpreter's total reference count stays meaningful.
//   * A function that fails with a Python exception set throws PyErrOccurred.
//     Every slot and method entry point is a boundary (call_boundary) that
//     turns any escaping C++ exception into a Python one and returns the
//     failure value, so no C++ exception crosses into the interpreter. The
//     one thing let through is the forced unwinding by which the interpreter
//     ends a thread (pthread_exit) that wakes up while it is finalising,
//     which is no C++ exception of the module's; the destructors it runs
//     touch no Python object (interpreter_exit.hpp).
#pragma once

#include "interpreter_exit.hpp"  // first: it brings Python.h before any standard header

#include <exception>
#include <new>
#include <utility>

namespace quarrine {

// Thrown when a Python exception is set and the current operation must end.
struct PyErrOccurred {};

// Ends the current operation. If the interpreter reported a failure without
// setting an exception, SystemError takes its place.
[[noreturn]] void throw_python_error();

// Sets `type` with a fixed message and ends the current operation.
[[noreturn]] void raise_error(PyObject* type, const char* message);

// Sets `type` with a message formatted as PyErr_Format does and ends the
// current operation.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// TypeError "'<type>' object is not an instance of '<expected>'" (or "'None'
// is not an instance of ..." for None).
[[noreturn]] void raise_wrong_type(PyObject* value, const char* expected);

// Checks the status of an API call that reports failure by a negative value
// (-1, with an exception set); hands the value back otherwise.
template <class Status>
inline Status require(Status status) {
  if (status < 0) {
    throw_python_error();
  }
  return status;
}

// Replaces the pending exception by `type` with the message
// prefix + "<its type's qualified name>: <its text>".
[[noreturn]] void raise_wrapping_pending(PyObject* type, const char* prefix);

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      give_back(std::exchange(object_, std::exchange(other.object_, nullptr)));
    }
    return *this;
  }
  ~Ref() { give_back(object_); }

  // Takes over a new reference; `object` may be null (an empty handle).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes over the new reference that a call returned, or throws when the
  // call failed (returned null).
  static Ref checked(PyObject* object) {
    if (object == nullptr) {
      throw_python_error();
    }
    return Ref(object);
  }
  // Adds a reference of its own to a borrowed object (null allowed).
  static Ref borrow(PyObject* object) noexcept {
    if (object != nullptr) {
      Py_IncRef(object);
    }
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller, leaving the handle empty.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  // Gives the reference back now; the handle is empty afterwards.
  void reset() noexcept { give_back(std::exchange(object_, nullptr)); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  // Every way a handle lets go of its reference comes here. On a thread that
  // the exiting interpreter is ending, the reference is abandoned instead.
  static void give_back(PyObject* object) noexcept {
    if (object != nullptr && may_touch_python()) {
      Py_DecRef(object);
    }
  }
  PyObject* object_ = nullptr;
};

// The pending exception, taken aside (normalised) when the handle is made.
// Unless it is handed back with restore(), it is released with the handle.
class FetchedError {
 public:
  FetchedError() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
  }
  FetchedError(const FetchedError&) = delete;
  FetchedError& operator=(const FetchedError&) = delete;

  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }
  // Makes it the pending exception again.
  void restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  }

 private:
  Ref type_;
  Ref value_;
  Ref traceback_;
};

// Keeps the pending exception aside while cleanup code runs, and puts it back
// when the scope ends; an exception of the cleanup itself is discarded.
class PendingErrorScope {
 public:
  PendingErrorScope() noexcept = default;
  PendingErrorScope(const PendingErrorScope&) = delete;
  PendingErrorScope& operator=(const PendingErrorScope&) = delete;
  ~PendingErrorScope() {
    if (!may_touch_python()) {
      return;
    }
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
    }
    error_.restore();
  }

 private:
  FetchedError error_;
};

// Translates the PyErrOccurred or std::exception being handled into a Python
// exception.
void set_error_from_current_exception() noexcept;

// The last step of a heap type's dealloc: frees the object through its
// type's Py_tp_free slot, then releases the reference to the type that every
// instance of a heap type holds.
void free_instance(PyObject* self) noexcept;

// The boundary of every slot and method: runs `body`, which returns an owned
// Ref, and hands its reference to the interpreter, or null with an exception.
// It catches the two kinds of exception that the module and its standard
// library throw, PyErrOccurred and std::exception, and nothing else: the one
// other exception that can reach it is the forced unwinding by which the C
// library ends a thread that the interpreter stops at exit, and that must go
// on. (libstdc++ calls it abi::__forced_unwind; libc++abi, the C++ runtime
// of the manylinux wheels, knows it only as a foreign exception, which it
// cannot rethrow from catch (...) without aborting.) So not noexcept either.
template <class Body>
PyObject* call_boundary(Body&& body) {
  try {
    return body().release();
  } catch (const PyErrOccurred&) {
    set_error_from_current_exception();
  } catch (const std::exception&) {
    set_error_from_current_exception();
  }
  return nullptr;
}

// The same for slots whose failure value is -1 and success 0.
template <class Body>
int status_boundary(Body&& body) {
  try {
    body();
    return 0;
  } catch (const PyErrOccurred&) {
    set_error_from_current_exception();
  } catch (const std::exception&) {
    set_error_from_current_exception();
  }
  return -1;
}

}  // namespace quarrine
