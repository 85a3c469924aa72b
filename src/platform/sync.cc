#include "platform/sync.h"

#include <chrono>

bool WL_Semaphore::Release(int32_t n) {
  if (n <= 0) return false;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (count_ + n > max_) return false;
    count_ += n;
  }
  cv_.notify_all();
  return true;
}

bool WL_Semaphore::Wait(int64_t timeout_ms) {
  std::unique_lock<std::mutex> g(mu_);
  auto ready = [this] { return count_ > 0; };
  if (timeout_ms < 0) {
    cv_.wait(g, ready);
  } else if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), ready)) {
    return false;
  }
  --count_;
  return true;
}

int32_t WL_Semaphore::Count() {
  std::lock_guard<std::mutex> g(mu_);
  return count_;
}
