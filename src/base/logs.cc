#include "base/logs.h"

#include <cstring>
#include <new>

#include "base/time_text.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr size_t kLogThreadStack = 4194304;

}  // namespace

void* DaemonLogThread(void* arg) {
  static_cast<WL_DaemonLog*>(arg)->ThreadLoop();
  return nullptr;
}

WL_DaemonLog::~WL_DaemonLog() { StopLog(); }

bool WL_DaemonLog::StartLog() {
  last_error_ = 0;
  if (started()) {
    last_error_ = kAlreadyStarted;
    return false;
  }
  last_write_time_.store(NowSeconds());
  thread_running_.store(false);
  thread_started_.store(false);
  stop_request_.store(false);
  if (path_.empty()) {
    last_error_ = kEmptyPath;
    return false;
  }
  if (max_size_ < 8388608) {
    max_size_ = 0;
    file_ = OpenFile(path_, "a+b");
  } else {
    uint64_t size = 0;
    if (RegularFileSize(path_, &size) && size >= max_size_ - kWrapSlack) TruncateFile(path_);
    file_ = OpenFile(path_, "r+b");
    if (file_ == nullptr) file_ = OpenFile(path_, "w+b");
    if (file_ != nullptr) SeekToEnd(file_);
  }
  if (file_ == nullptr) {
    last_error_ = kCannotOpen;
    return false;
  }
  // Undoes the buffers and the open file of a start that cannot finish.
  auto abandon = [this](int32_t error) {
    buffer_[0].reset();
    buffer_[1].reset();
    CloseFile(file_);
    file_ = nullptr;
    last_error_ = error;
    return false;
  };
  buffer_[0].reset(new (std::nothrow) char[kCapacity]);
  buffer_[1].reset(new (std::nothrow) char[kCapacity]);
  if (!buffer_[0] || !buffer_[1]) return abandon(kNoBuffers);
  fill_[0] = fill_[1] = 0;
  active_ = 0;
  mailbox_.Clear();
  if (!StartThread(DaemonLogThread, this, kLogThreadStack)) return abandon(kNoThread);
  SpinBackoff wait;
  while (!thread_running_.load(std::memory_order_acquire) && !thread_started_.load(std::memory_order_acquire)) {
    wait.Pause();
  }
  started_.store(true, std::memory_order_release);
  return true;
}

bool WL_DaemonLog::Write(const char* bytes, size_t length) {
  if (!started() || length == 0 || length >= kCapacity || bytes == nullptr) return false;
  write_calls_.fetch_add(1, std::memory_order_relaxed);
  for (int attempt = 0; attempt < 3 && started(); ++attempt) {
    bool copied = false;
    {
      std::lock_guard<WL_Lock> g(lock_);
      if (!started()) break;  // StopLog took the buffers meanwhile
      uint64_t& fill = fill_[active_];
      if (length < kCapacity - fill) {
        memcpy(buffer_[active_].get() + fill, bytes, length);
        fill += length;
        total_.fetch_add(length, std::memory_order_relaxed);
        copied = true;
      }
    }
    mailbox_.Post(kMsgWake, 0, 0);
    if (copied) return true;
    SleepMs(1);
    retries_.fetch_add(1, std::memory_order_relaxed);
  }
  mailbox_.Post(kMsgWake, 0, 0);
  dropped_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

void WL_DaemonLog::RequestFlush() {
  if (!started() || !thread_running_.load()) return;
  flush_request_.store(true);
  mailbox_.Post(kMsgTask, 0, 0);
}

void WL_DaemonLog::PostCheck() {
  if (started() && thread_running_.load()) mailbox_.Post(kMsgTask, 0, 0);
}

int WL_DaemonLog::SwapLocked() {
  const int full = active_;
  active_ = 1 - active_;
  fill_[active_] = 0;
  return full;
}

void WL_DaemonLog::ThreadLoop() {
  thread_running_.store(true, std::memory_order_release);
  thread_started_.store(true, std::memory_order_release);
  if (stop_request_.load()) {
    thread_running_.store(false, std::memory_order_release);
    return;
  }
  for (;;) {
    WL_Message m;
    // The timer daemon posts the check once a minute (with the address
    // mail's trigger); data-added posts come from the writers.
    const bool got = mailbox_.Get(&m);
    if (stop_request_.load()) break;
    if (got && m.message == kMsgTask) {
      OnCheck();
    } else if (m.message == kMsgWake) {
      OnData();
    }
  }
  thread_running_.store(false, std::memory_order_release);
}

void WL_DaemonLog::OnData() {
  int full = -1;
  {
    std::lock_guard<WL_Lock> g(lock_);
    if (fill_[active_] >= kSwapFill) full = SwapLocked();
  }
  if (full >= 0) {
    WriteOut(full);
    last_write_time_.store(NowSeconds());
  }
}

void WL_DaemonLog::OnCheck() {
  const int64_t now = NowSeconds();
  if (now < last_write_time_.load()) last_write_time_.store(now);  // the clock went back
  const bool flush = flush_request_.load();
  int full = -1;
  {
    std::lock_guard<WL_Lock> g(lock_);
    // A check writes 16 KiB or more at once; a smaller rest when asked to
    // flush, or once the write interval has passed, so a quiet server's
    // lines still reach the file.
    const uint64_t fill = fill_[active_];
    const bool overdue = now - last_write_time_.load() >= kWriteInterval;
    if (fill >= kCheckFill || (fill > 0 && (flush || overdue))) full = SwapLocked();
  }
  if (flush) {
    FlushFile(file_);
    flush_request_.store(false);
  }
  if (full >= 0) {
    WriteOut(full);
    last_write_time_.store(NowSeconds());
  }
}

void WL_DaemonLog::WriteOut(int which) {
  if (file_ == nullptr) return;
  const uint64_t n = fill_[which];
  if (n > 0 && WriteFile(file_, buffer_[which].get(), n) != n) failed_writes_.fetch_add(1);
  fill_[which] = 0;
  // Readers of the file see whole batches; the batch is at least 16 KiB, so
  // the flush costs little.
  FlushFile(file_);
  if (max_size_ > kWrapSlack && FilePosition(file_) >= static_cast<int64_t>(max_size_)) {
    RewindFile(file_);
    wraps_.fetch_add(1);
  }
}

void WL_DaemonLog::StopLog() {
  if (thread_running_.load(std::memory_order_acquire)) {
    stop_request_.store(true);
    mailbox_.Post(kMsgTask, 0, 0);
    SpinBackoff wait;
    while (thread_running_.load(std::memory_order_acquire)) wait.Pause();
  }
  std::lock_guard<WL_Lock> g(lock_);
  started_.store(false, std::memory_order_release);
  if (file_ != nullptr) {
    WriteOut(1 - active_);
    WriteOut(active_);
  }
  buffer_[0].reset();
  buffer_[1].reset();
  fill_[0] = fill_[1] = 0;
  if (file_ != nullptr) {
    CloseFile(file_);
    file_ = nullptr;
  }
}

bool WL_MinMemLog::Activate() {
  if (active_) return true;
  if (target_ == nullptr) return false;
  buffer_.reset(new (std::nothrow) char[kCapacity]);
  if (!buffer_) return false;
  last_hand_over_ = NowSeconds();
  fill_ = 0;
  active_ = true;
  return true;
}

void WL_MinMemLog::HandOver() {
  if (fill_ > 0 && target_ != nullptr) target_->Write(buffer_.get(), static_cast<size_t>(fill_));
  fill_ = 0;
}

bool WL_MinMemLog::AddLine(const char* text, int length, bool add_line_end) {
  if (!active_ || !buffer_) return false;
  if (text != nullptr && length < 1) length = static_cast<int>(strlen(text));
  if (text != nullptr && length == 0) return true;
  if (text == nullptr || length >= kCapacity / 5) {
    ++dropped_;
    return false;
  }
  const int64_t now = NowSeconds();
  if (now < last_hand_over_) {
    last_hand_over_ = now;
  } else if (now - last_hand_over_ >= kHandOverInterval && fill_ > 4095) {
    HandOver();
    last_hand_over_ = now;
  }
  if (now != stamp_second_) {
    stamp_length_ = FormatLogStamp(now, stamp_, sizeof(stamp_));
    if (stamp_length_ < 0) stamp_length_ = 0;
    stamp_second_ = now;
  }
  const char* prefix = stamp_;
  const int p = stamp_length_;
  const int need = p + length + (add_line_end ? 2 : 0);
  if (need > kCapacity - fill_) HandOver();
  char* at = buffer_.get() + fill_;
  memcpy(at, prefix, static_cast<size_t>(p));
  memcpy(at + p, text, static_cast<size_t>(length));
  if (add_line_end) memcpy(at + p + length, "\r\n", 2);
  fill_ += need;
  if (kCapacity - fill_ < 4096) HandOver();
  return true;
}

void WL_MinMemLog::FlushToLog() {
  if (!active_ || fill_ <= 0) return;
  HandOver();
  last_hand_over_ = NowSeconds();
}
