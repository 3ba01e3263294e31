// What the module knows of the interpreter's exit, and the rule that follows
// for every destructor that touches Python objects. It owns two facts, each
// written once: that the exit has begun, and which thread runs it.
//
// The interpreter exits in two stages. First it runs its atexit callbacks
// with everything intact: other threads still run whenever a callback lets
// the GIL go (a log handler's flush, a sleep), and a cached call they make
// must return its result or raise its own exception as at any other time.
// Only after the last callback does it begin to end the other threads: from
// then on a thread that wakes up in the interpreter (tries to take the GIL)
// is ended by unwinding its stack without the GIL, and what its frames hold
// must be abandoned, never released. The interpreter clears
// Py_IsInitialized() in the step that begins ending threads, before the GIL
// can change hands again, so it tells the two stages apart; the module's own
// atexit callback, which runs among the others on the exiting thread, notes
// that the exit has begun and which thread runs it, so that the check costs
// one relaxed load at any other time.
//
// Rule: a destructor releases a reference, restores an exception or lets a
// store's guard go only where may_touch_python() says so.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace quarrine {

namespace detail {
extern std::atomic<bool> exit_begun;
bool may_touch_python_while_exiting() noexcept;
}  // namespace detail

// Whether this thread may touch Python objects: always, unless the
// interpreter is ending the threads other than the one that exits it.
inline bool may_touch_python() noexcept {
  return !detail::exit_begun.load(std::memory_order_relaxed) ||
         detail::may_touch_python_while_exiting();
}

// Registers the atexit callback that notes the start of the exit; -1 with
// an exception set if that fails.
int watch_interpreter_exit() noexcept;

}  // namespace quarrine
