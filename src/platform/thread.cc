#include "platform/thread.h"

#include <pthread.h>
#include <chrono>
#include <sys/syscall.h>
#include <unistd.h>

bool WL_Mailbox::Post(uint32_t message, uint64_t wparam, uint64_t lparam) {
  {
    std::lock_guard<std::mutex> g(mu_);
    queue_.push_back(WL_Message{message, wparam, lparam});
  }
  cv_.notify_one();
  return true;
}

bool WL_Mailbox::Get(WL_Message* out) {
  std::unique_lock<std::mutex> g(mu_);
  cv_.wait(g, [this] { return !queue_.empty(); });
  *out = queue_.front();
  queue_.pop_front();
  return true;
}

bool WL_Mailbox::GetFor(WL_Message* out, int64_t timeout_ms) {
  std::unique_lock<std::mutex> g(mu_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return !queue_.empty(); })) return false;
  *out = queue_.front();
  queue_.pop_front();
  return true;
}

void WL_Mailbox::Clear() {
  std::lock_guard<std::mutex> g(mu_);
  queue_.clear();
}

bool StartThread(void* (*entry)(void*), void* arg, size_t stack_bytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_bytes > 0) pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t t;
  int rc = pthread_create(&t, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }
