// The access guard, the waiting list and the wait. See access_guard.hpp.
#include "access_guard.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quarrine {

namespace {

// The guard each waiting thread waits for.
struct Waiting {
  PyThreadState* thread;
  const AccessGuard* guard;
};

// What every waiter shares, made on first use and never destroyed.
struct WaitingRoom {
  std::vector<Waiting> waiting;  // changed with the interpreter lock held
  std::mutex mutex;              // orders a release's wake-up against a sleep
  std::condition_variable released;
};

WaitingRoom& waiting_room() {
  static auto* room = new WaitingRoom();
  return *room;
}

const AccessGuard* guard_awaited_by(PyThreadState* thread) noexcept {
  for (const Waiting& entry : waiting_room().waiting) {
    if (entry.thread == thread) {
      return entry.guard;
    }
  }
  return nullptr;
}

// Lists the thread as waiting for the guard for as long as it lives.
class WaitingEntry {
 public:
  WaitingEntry(PyThreadState* thread, const AccessGuard* guard) : thread_(thread) {
    waiting_room().waiting.push_back({thread, guard});
  }
  WaitingEntry(const WaitingEntry&) = delete;
  WaitingEntry& operator=(const WaitingEntry&) = delete;
  ~WaitingEntry() {
    if (!may_release()) {
      return;  // ended by the finalising interpreter, without the lock
    }
    auto& waiting = waiting_room().waiting;
    waiting.erase(std::find_if(waiting.begin(), waiting.end(),
                               [&](const Waiting& entry) { return entry.thread == thread_; }));
  }

 private:
  PyThreadState* thread_;
};

// How long a waiter sleeps before it checks for signals (Ctrl-C) again.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

}  // namespace

bool AccessGuard::held_by(PyThreadState* thread) const noexcept {
  return exclusive_holder_ == thread ||
         std::find(shared_holders_.begin(), shared_holders_.end(), thread) != shared_holders_.end();
}

bool AccessGuard::wait_would_deadlock(PyThreadState* thread) const {
  // Follows the holders to the guards they wait for; reaching the asking
  // thread means a cycle of threads, each waiting for a guard that another
  // of them holds.
  std::vector<const AccessGuard*> pending{this};
  std::vector<const AccessGuard*> seen{this};
  while (!pending.empty()) {
    const AccessGuard* guard = pending.back();
    pending.pop_back();
    std::vector<PyThreadState*> holders = guard->shared_holders_;
    if (guard->exclusive_holder_ != nullptr) {
      holders.push_back(guard->exclusive_holder_);
    }
    for (PyThreadState* holder : holders) {
      if (holder == thread) {
        return true;
      }
      const AccessGuard* next = guard_awaited_by(holder);
      if (next != nullptr && std::find(seen.begin(), seen.end(), next) == seen.end()) {
        seen.push_back(next);
        pending.push_back(next);
      }
    }
  }
  return false;
}

void AccessGuard::acquire_contended(Access access, PyThreadState* thread) {
  for (;;) {
    if (access == Access::Exclusive && state_ == 0) {
      state_ = -1;
      exclusive_holder_ = thread;
      return;
    }
    if (access == Access::Shared && state_ >= 0) {
      shared_holders_.push_back(thread);
      ++state_;
      return;
    }
    // A conflict with itself, or a wait that would close a cycle of waiting
    // threads, fails at once instead of waiting forever.
    if (held_by(thread) || wait_would_deadlock(thread)) {
      raise_error(PyExc_RuntimeError,
                  access == Access::Exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
    wait_for_release(thread);
  }
}

void AccessGuard::release_contended(Access access, PyThreadState* thread) noexcept {
  if (access == Access::Exclusive) {
    state_ = 0;
    exclusive_holder_ = nullptr;
  } else {
    auto held = std::find(shared_holders_.rbegin(), shared_holders_.rend(), thread);
    if (held != shared_holders_.rend()) {
      shared_holders_.erase(std::next(held).base());
    }
    --state_;
  }
  if (waiters_ != 0) {
    WaitingRoom& room = waiting_room();
    {
      std::lock_guard<std::mutex> lock(room.mutex);
      releases_.fetch_add(1, std::memory_order_relaxed);
    }
    room.released.notify_all();
  }
}

void AccessGuard::wait_for_release(PyThreadState* thread) {
  WaitingEntry entry(thread, this);
  WaitingRoom& room = waiting_room();
  ++waiters_;
  // Read with the interpreter lock held; every release changes the count
  // with that lock and the wait mutex held, so no wake-up is missed.
  const std::uint64_t seen = releases_.load(std::memory_order_relaxed);
  for (;;) {
    bool released = false;
    PyThreadState* saved = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(room.mutex);
      released = room.released.wait_for(lock, kSignalCheckInterval, [&] {
        return releases_.load(std::memory_order_relaxed) != seen;
      });
    }
    PyEval_RestoreThread(saved);
    if (released) {
      break;
    }
    // A signal handler's exception (KeyboardInterrupt) ends the wait; the
    // store was not touched.
    if (PyErr_CheckSignals() < 0) {
      --waiters_;
      throw_python_error();
    }
  }
  --waiters_;
}

}  // namespace quarrine
