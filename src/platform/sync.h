// Locks and semaphores of the server.
//
// WL_Lock is re-entrant, like the critical sections the server was designed
// around: the same thread may enter it again while it holds it.
// WL_Semaphore is a counting semaphore with initial count 0 and a cap; a
// release beyond the cap is refused, as the design expects.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class WL_Lock {
 public:
  void Enter() { mu_.lock(); }
  void Leave() { mu_.unlock(); }
  // REQUIRES: nothing. Returns true when the lock was taken.
  bool TryEnter() { return mu_.try_lock(); }

  // So that std::lock_guard<WL_Lock> works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mu_;
};

class WL_Semaphore {
 public:
  explicit WL_Semaphore(int32_t maximum = 72) : max_(maximum) {}

  // Adds n to the count. Returns false (and changes nothing) when the count
  // would pass the maximum.
  bool Release(int32_t n = 1);
  // Waits up to timeout_ms (negative: without limit) for a count above 0 and
  // takes one. Returns true when a count was taken.
  bool Wait(int64_t timeout_ms);
  int32_t Count();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int32_t count_ = 0;
  const int32_t max_;
};
