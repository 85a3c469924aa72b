// Threads and their mailboxes.
//
// The server's long-lived threads are told what to do through messages
// (1039 wake or data-added, 1040 task or check, 1044/1045 for the IO daemon).
// Each such thread owns a WL_Mailbox that exists before the thread starts, so
// a post to a started thread cannot fail for want of a queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

constexpr uint32_t kMsgWake = 1039;  // pool wake message; log data-added
constexpr uint32_t kMsgTask = 1040;  // pool task message; log check

struct WL_Message {
  uint32_t message = 0;
  uint64_t wparam = 0;
  uint64_t lparam = 0;
};

class WL_Mailbox {
 public:
  // Queues a message and wakes the reader. Returns false only when the
  // mailbox was closed.
  bool Post(uint32_t message, uint64_t wparam, uint64_t lparam);
  // Waits for the next message. Returns false when the mailbox is closed and
  // empty.
  bool Get(WL_Message* out);
  // Waits up to timeout_ms for the next message. Returns false on time-out.
  bool GetFor(WL_Message* out, int64_t timeout_ms);
  // Drops every queued message (a record being reused for a new thread).
  void Clear();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<WL_Message> queue_;
};

// Starts a detached thread running entry(arg) with the given stack size.
// Returns false when the thread cannot be created.
bool StartThread(void* (*entry)(void*), void* arg, size_t stack_bytes);
// The kernel id of the calling thread.
uint32_t CurrentThreadId();
