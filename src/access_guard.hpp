// The access guard of an instance's store: a shared/exclusive flag that
// marks the store as in use while an operation reads or changes it.
//
// The rule that makes the guard simple: no Python code runs, and no Python
// object is made, while the guard is held. The operations hash arguments,
// compare keys whose values could run __eq__, build reports and release
// references only with the guard let go; what they hold it for is C++ work
// on the store's own tables. So the interpreter lock is never given up while
// a guard is held: no other thread can find a guard held, no thread ever
// waits for one, and no finaliser or __hash__ can re-enter a held store.
// A conflicting request would mean that this rule was broken; it fails at
// once with RuntimeError "Already borrowed" (exclusive refused) or "Already
// mutably borrowed" (shared refused) rather than corrupting the store.
#pragma once

#include "py_ref.hpp"

#include <cassert>

namespace quarrine {

enum class Access { Shared, Exclusive };

class AccessGuard {
 public:
  void acquire(Access access) {
    if (access == Access::Exclusive ? state_ != 0 : state_ < 0) {
      refuse(access);
    }
    state_ = access == Access::Exclusive ? -1 : state_ + 1;
  }
  void release(Access access) noexcept {
    assert(access == Access::Exclusive ? state_ == -1 : state_ > 0);
    state_ = access == Access::Exclusive ? 0 : state_ - 1;
  }
  // Whether some operation holds the guard, in either mode.
  bool is_held() const noexcept { return state_ != 0; }

 private:
  [[noreturn]] static void refuse(Access access);

  // 0 when free, -1 while held exclusively, n > 0 while n holds are shared.
  // Changed only with the interpreter lock held.
  Py_ssize_t state_ = 0;
};

}  // namespace quarrine
