// The access guard of an instance's store: a shared/exclusive flag with the
// holders it knows by thread, the process-wide list of threads waiting for a
// guard, and the lock and wake-up signal on which they wait.
//
// The rules:
//   * A request that the guard can grant is granted at once. The exclusive
//     hold of a free guard, which every cached call takes, is decided inline.
//   * A conflicting request from a thread that already holds the guard
//     (re-entrance, for instance from a __hash__ run while the store is held)
//     fails at once with RuntimeError "Already borrowed" (exclusive refused)
//     or "Already mutably borrowed" (shared refused).
//   * A conflicting request from another thread waits, with the interpreter
//     lock released, until the guard is let go, checking for signals every
//     50 ms: Ctrl-C ends the wait with KeyboardInterrupt.
//   * The deadlock rule: a wait that would close a cycle of threads, each
//     waiting for a guard that another of them holds, fails at once with the
//     same error as a conflict on one thread. The waiting list, which says
//     which guard each waiting thread waits for, is what the cycle is traced
//     through.
//
// Every guard and the waiting list change only with the interpreter lock
// held; the wait mutex orders a release's wake-up against a waiter's sleep.
// The list, the mutex and the signal are made on first use and never
// destroyed: a thread may still wait while the interpreter finalises.
#pragma once

#include "py_ref.hpp"

#include <atomic>
#include <cassert>
#include <cstdint>
#include <vector>

namespace quarrine {

enum class Access { Shared, Exclusive };

class AccessGuard {
 public:
  void acquire(Access access, PyThreadState* thread) {
    if (access == Access::Exclusive && state_ == 0) {
      state_ = -1;
      exclusive_holder_ = thread;
      return;
    }
    acquire_contended(access, thread);
  }
  void release(Access access, PyThreadState* thread) noexcept {
    assert(access == Access::Exclusive ? state_ == -1 : state_ > 0);
    if (access == Access::Exclusive && waiters_ == 0) {
      state_ = 0;
      exclusive_holder_ = nullptr;
      return;
    }
    release_contended(access, thread);
  }
  // Whether some operation holds the guard, in either mode.
  bool is_held() const noexcept { return state_ != 0; }

 private:
  void acquire_contended(Access access, PyThreadState* thread);
  void release_contended(Access access, PyThreadState* thread) noexcept;
  bool held_by(PyThreadState* thread) const noexcept;
  bool wait_would_deadlock(PyThreadState* thread) const;
  void wait_for_release(PyThreadState* thread);

  // 0 when free, -1 while held exclusively, n > 0 while n holds are shared.
  Py_ssize_t state_ = 0;
  PyThreadState* exclusive_holder_ = nullptr;
  std::vector<PyThreadState*> shared_holders_;  // one entry per shared hold
  std::uint32_t waiters_ = 0;
  // Advanced at every release that may wake a waiter, under the wait mutex.
  std::atomic<std::uint64_t> releases_{0};
};

}  // namespace quarrine
