// The server's log writers.
//
// WL_DaemonLog is one log file with a writer thread of its own: any thread
// copies text into the active buffer under a short lock, and the writer
// thread swaps the buffers and writes the full one, so no caller waits for
// the disk. WL_MinMemLog is a per-owner staging buffer in front of it that
// adds the time prefix and hands lines over in batches. A staging buffer
// belongs to one thread; owners shared by several threads guard it with a
// lock of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/sync.h"
#include "platform/thread.h"

class WL_DaemonLog {
 public:
  static constexpr uint64_t kCapacity = 1572864;    // each of the two buffers
  static constexpr uint64_t kSwapFill = 524288;     // data-added: swap at 512 KiB
  static constexpr uint64_t kCheckFill = 16384;     // check: swap at 16 KiB
  static constexpr int64_t kWriteInterval = 600;    // seconds
  static constexpr uint64_t kWrapSlack = 3145728;   // 3 MiB

  // Failure codes in last_error.
  static constexpr int32_t kAlreadyStarted = -1;
  static constexpr int32_t kEmptyPath = -2;
  static constexpr int32_t kCannotOpen = -5;
  static constexpr int32_t kNoBuffers = -6;
  static constexpr int32_t kNoThread = -7;

  WL_DaemonLog() = default;
  virtual ~WL_DaemonLog();
  WL_DaemonLog(const WL_DaemonLog&) = delete;
  WL_DaemonLog& operator=(const WL_DaemonLog&) = delete;

  // Set by the owner before StartLog. A maximum below 8 MiB means no limit.
  void SetPath(const std::string& path) { path_ = path; }
  void SetMaximumSize(uint64_t bytes) { max_size_ = bytes; }
  const std::string& path() const { return path_; }

  // Opens the file, allocates the buffers and starts the writer thread.
  bool StartLog();
  // Copies bytes into the active buffer; callable from any thread. False
  // when not started, for an empty text or one of capacity bytes or more,
  // or when the buffers stayed full (the text is dropped and counted).
  bool Write(const char* bytes, size_t length);
  // Asks the writer thread to write and flush what it holds now.
  void RequestFlush();
  // The timer's periodic log check (message 1040).
  void PostCheck();
  // Stops the writer thread, writes both buffers and closes the file.
  void StopLog();

  bool started() const { return started_.load(std::memory_order_acquire); }
  int32_t last_error() const { return last_error_; }
  uint64_t dropped() const { return dropped_.load(); }
  uint64_t wraps() const { return wraps_.load(); }
  uint64_t total() const { return total_.load(); }
  uint64_t failed_writes() const { return failed_writes_.load(); }

 private:
  friend void* DaemonLogThread(void*);
  void ThreadLoop();
  void OnData();
  void OnCheck();
  // Makes the other buffer active; returns the index of the full one.
  int SwapLocked();
  void WriteOut(int which);

  std::atomic<bool> started_{false};
  int active_ = 0;  // under lock_
  int32_t last_error_ = 0;
  uint64_t fill_[2] = {0, 0};
  std::atomic<int64_t> last_write_time_{0};
  std::atomic<uint64_t> total_{0};
  std::unique_ptr<char[]> buffer_[2];
  FILE* file_ = nullptr;
  uint64_t max_size_ = 0;
  std::string path_;
  std::atomic<bool> flush_request_{false};
  std::atomic<uint64_t> wraps_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> retries_{0};
  std::atomic<uint64_t> failed_writes_{0};
  std::atomic<uint64_t> write_calls_{0};
  WL_Lock lock_;
  std::atomic<bool> thread_running_{false};
  std::atomic<bool> thread_started_{false};
  std::atomic<bool> stop_request_{false};
  WL_Mailbox mailbox_;
};

class WL_MinMemLog {
 public:
  static constexpr int32_t kCapacity = 98304;
  static constexpr int64_t kHandOverInterval = 580;  // seconds

  WL_MinMemLog() = default;
  virtual ~WL_MinMemLog() = default;
  WL_MinMemLog(const WL_MinMemLog&) = delete;
  WL_MinMemLog& operator=(const WL_MinMemLog&) = delete;

  void SetTarget(WL_DaemonLog* target) { target_ = target; }
  // Allocates the staging buffer. True when already active; false without a
  // target.
  bool Activate();
  bool IsActive() const { return active_; }
  // Stages one line: the local time prefix, the text, and CR LF when asked.
  // A length below 1 means the text's own length. A text of capacity / 5
  // bytes or more is refused and counted as dropped.
  bool AddLine(const char* text, int length, bool add_line_end);
  // Hands the staged bytes to the target.
  void FlushToLog();
  int32_t fill() const { return fill_; }
  uint64_t dropped() const { return dropped_; }

 private:
  void HandOver();

  bool active_ = false;
  int32_t fill_ = 0;
  WL_DaemonLog* target_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  int64_t last_hand_over_ = 0;
  uint64_t dropped_ = 0;
  // The time prefix of the current second, formatted once per second.
  int64_t stamp_second_ = -1;
  int stamp_length_ = 0;
  char stamp_[56] = {};
};
