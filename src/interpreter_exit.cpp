// The interpreter's exit as the module sees it. See interpreter_exit.hpp.
#include "interpreter_exit.hpp"

#include <pthread.h>

namespace quarrine {

namespace detail {

std::atomic<bool> exit_begun{false};

namespace {
pthread_t exiting_thread;  // written once, before exit_begun
}  // namespace

bool may_touch_python_while_exiting() noexcept {
  std::atomic_thread_fence(std::memory_order_acquire);
  return pthread_equal(pthread_self(), exiting_thread) != 0 || Py_IsInitialized() != 0;
}

}  // namespace detail

namespace {

PyObject* note_exit_begun(PyObject* /*module*/, PyObject* /*unused*/) {
  detail::exiting_thread = pthread_self();
  detail::exit_begun.store(true, std::memory_order_release);
  Py_IncRef(Py_None);
  return Py_None;
}

PyMethodDef note_exit_begun_def = {"_quarrine_exit_begun", note_exit_begun, METH_NOARGS, nullptr};

}  // namespace

int watch_interpreter_exit() noexcept {
  // Below the reference handles: each reference is given back by hand.
  PyObject* callback = PyCFunction_NewEx(&note_exit_begun_def, nullptr, nullptr);
  PyObject* atexit = callback != nullptr ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* registered =
      atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", callback) : nullptr;
  Py_DecRef(registered);
  Py_DecRef(atexit);
  Py_DecRef(callback);
  return registered != nullptr ? 0 : -1;
}

}  // namespace quarrine
