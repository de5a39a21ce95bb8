// The virtual driver's lock and its condition, on Win32 slim reader/writer locks
// and condition variables. Unlike the C++ library's mutex and condition variable
// of this toolchain, they never create kernel objects (not even on contention),
// so the driver creates handles only at the points its callers can foresee: a
// test that checks whether a closed handle value is still open is not fooled by
// a handle the driver created meanwhile from another thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <mutex>

namespace sim {

class SrwLock {
 public:
  SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// The same, taken again by the thread that holds it.
class RecursiveSrwLock {
 public:
  RecursiveSrwLock() = default;
  RecursiveSrwLock(const RecursiveSrwLock&) = delete;
  RecursiveSrwLock& operator=(const RecursiveSrwLock&) = delete;

  void lock() {
    const DWORD self = GetCurrentThreadId();
    // Only the holder ever stores its own id here, so a match means this thread.
    if (static_cast<DWORD>(InterlockedCompareExchange(&owner_, 0, 0)) != self) {
      AcquireSRWLockExclusive(&lock_);
      InterlockedExchange(&owner_, static_cast<LONG>(self));
    }
    ++depth_;
  }
  void unlock() {
    if (--depth_ == 0) {
      InterlockedExchange(&owner_, 0);
      ReleaseSRWLockExclusive(&lock_);
    }
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  volatile LONG owner_ = 0;  // the holder's thread id, 0 when free
  unsigned depth_ = 0;       // the holder's count
};

class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void NotifyAll() { WakeAllConditionVariable(&condition_); }

  template <typename Done>
  void Wait(std::unique_lock<SrwLock>& lock, Done done) {
    while (!done()) {
      SleepConditionVariableSRW(&condition_, lock.mutex()->native(), INFINITE, 0);
    }
  }

  // False when `done` still does not hold after `timeout`.
  template <typename Done>
  bool WaitFor(std::unique_lock<SrwLock>& lock, std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      SleepConditionVariableSRW(&condition_, lock.mutex()->native(),
                                static_cast<DWORD>(left.count()), 0);
    }
    return true;
  }

 private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace sim
