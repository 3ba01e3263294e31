// The arguments of a call of a decorated method, as the interpreter hands
// them over: a tuple and a keyword dict (the call slot, every build), or,
// with the limited API of 3.12, the vectorcall array and the tuple of keyword
// names (the vectorcall slot). The binder and the call protocol are written
// once over either kind; nothing here copies the arguments unless a slow path
// (inspect, *args) asks for a tuple or a dict.
//
// Both kinds borrow everything: the caller keeps the arguments alive for the
// call.
#pragma once

#include "py_ref.hpp"

#include <cstddef>

namespace quarrine {

class TupleArguments {
 public:
  TupleArguments(PyObject* args, PyObject* kwargs) noexcept
      : args_(args),
        kwargs_(kwargs),
        count_(PyTuple_Size(args)),
        first_(count_ > 0 ? PyTuple_GetItem(args, 0) : nullptr) {}

  // A keyword dict may be the caller's own (a thread's start hands its dict
  // over so), which code run while the call is hashed may change: the binder
  // keeps each value it takes from it.
  static constexpr bool kKeywordValuesMayChange = true;

  Py_ssize_t positional_count() const noexcept { return count_; }
  PyObject* positional(Py_ssize_t index) const noexcept {
    return index == 0 ? first_ : PyTuple_GetItem(args_, index);
  }
  bool has_keywords() const noexcept { return kwargs_ != nullptr && PyDict_Size(kwargs_) > 0; }
  // Calls visit(name, value) for each keyword argument while it returns
  // true; returns whether every one was visited.
  template <class Visit>
  bool each_keyword(Visit&& visit) const {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs_ != nullptr && PyDict_Next(kwargs_, &position, &key, &value)) {
      if (!visit(key, value)) {
        return false;
      }
    }
    return true;
  }
  // The positional arguments from `first` on, as a new tuple.
  Ref positional_slice(Py_ssize_t first) const {
    return Ref::checked(PyTuple_GetSlice(args_, first, count_));
  }
  // The arguments as a tuple and a dict (or empty), for a call through
  // Python.
  Ref positional_tuple() const { return Ref::borrow(args_); }
  Ref keyword_dict() const { return Ref::borrow(kwargs_); }
  // Calls `function` with these arguments: its result, or an empty handle
  // with its exception set.
  Ref call(PyObject* function) const {
    return Ref::steal(PyObject_Call(function, args_, kwargs_));
  }

 private:
  PyObject* args_;
  PyObject* kwargs_;  // or null
  Py_ssize_t count_;
  PyObject* first_;  // the instance, read once; null without arguments
};

#if Py_LIMITED_API + 0 >= 0x030C0000

class VectorArguments {
 public:
  VectorArguments(PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept
      : args_(args), nargsf_(nargsf), count_(PyVectorcall_NARGS(nargsf)), kwnames_(kwnames) {}

  // The values sit in the caller's array, which nothing can change.
  static constexpr bool kKeywordValuesMayChange = false;

  Py_ssize_t positional_count() const noexcept { return count_; }
  PyObject* positional(Py_ssize_t index) const noexcept { return args_[index]; }
  bool has_keywords() const noexcept {
    return kwnames_ != nullptr && PyTuple_Size(kwnames_) > 0;
  }
  template <class Visit>
  bool each_keyword(Visit&& visit) const {
    const Py_ssize_t count = kwnames_ == nullptr ? 0 : PyTuple_Size(kwnames_);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!visit(PyTuple_GetItem(kwnames_, i), args_[count_ + i])) {
        return false;
      }
    }
    return true;
  }
  Ref positional_slice(Py_ssize_t first) const;
  // Made on demand, for the slow paths that need them.
  Ref positional_tuple() const { return positional_slice(0); }
  Ref keyword_dict() const;
  Ref call(PyObject* function) const {
    return Ref::steal(PyObject_Vectorcall(function, args_, nargsf_, kwnames_));
  }

 private:
  PyObject* const* args_;
  std::size_t nargsf_;  // with PY_VECTORCALL_ARGUMENTS_OFFSET when the caller allows it
  Py_ssize_t count_;
  PyObject* kwnames_;  // or null
};

#endif

}  // namespace quarrine
