#include "base/thread_pool.h"

#include <openssl/crypto.h>

#include <cinttypes>
#include <cstdarg>
#include <new>

#include "base/format.h"
#include "platform/clock.h"

namespace {

constexpr size_t kWorkerStack = 6291456;
constexpr size_t kManagerStack = 4194304;

const char* KindName(uint8_t kind) { return kind == WL_ZelfoThreadPool::kTaskFtp ? "Ftp" : "Http"; }

}  // namespace

void* PoolWorkerMain(void* arg) {
  auto* r = static_cast<WL_WorkerRecord*>(arg);
  r->pool->WorkerLoop(r);
  return nullptr;
}

void* PoolManagerMain(void* arg) {
  static_cast<WL_ZelfoThreadPool*>(arg)->ManagerLoop();
  return nullptr;
}

WL_ZelfoThreadPool::WL_ZelfoThreadPool() { manager_.pool = this; }

WL_ZelfoThreadPool::~WL_ZelfoThreadPool() {
  if (table_) StopPool();
}

void WL_ZelfoThreadPool::Log(const char* fmt, ...) {
  if (log_level <= 0 || !log_.IsActive()) return;
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = FormatTextV(line, 501, fmt, ap);
  va_end(ap);
  if (n <= 0) return;
  std::lock_guard<WL_Lock> g(log_lock_);
  log_.AddLine(line, n, false);
}

bool WL_ZelfoThreadPool::Start() {
  stopping_.store(false);
  error_count_.store(0);
  add_count_.store(0);
  del_count_.store(0);
  manager_.running.store(false);
  manager_.started.store(false);
  if (ftp_entry == nullptr || http_entry == nullptr || table_) return false;
  if (!InitPool()) return false;
  if (log_level > 0) log_.Activate();
  manager_.stop.store(false);
  manager_.thread_id.store(0);
  manager_.mailbox.Clear();
  if (!StartThread(PoolManagerMain, this, kManagerStack)) return false;
  SpinBackoff wait;
  while (!manager_.running.load(std::memory_order_acquire) && !manager_.started.load(std::memory_order_acquire)) {
    wait.Pause();
  }
  manager_.mailbox.Post(kMsgTask, 0, 0);
  // Let the first workers come up, so connections accepted right after the
  // start are not refused for want of an idle worker. Bounded: a pool whose
  // threads cannot start still starts (AssignTask then refuses).
  const uint64_t until = GetTickCount64() + 2000;
  while (CountIdle() < low && GetTickCount64() < until) wait.Pause();
  return true;
}

bool WL_ZelfoThreadPool::InitPool() {
  const uint32_t t = GetTickCount();
  if (table_) return false;
  if (low < 3) low = 3;
  if (low > 16) low = 16;
  if (high <= low + 3) high += 8;
  if (table_size == 0) {
    table_size = 132;
  } else if (table_size <= 32) {
    table_size = 32;
  } else if (table_size > 256) {
    table_size = 256;
  }
  const uint32_t half = table_size / 2;
  if (low >= half) low = 8;
  if (high >= table_size) high = half;
  if (low >= high) {
    low = 6;
    high = 16;
  } else if (high - low <= 3) {
    high = low + 10;
  }
  table_.reset(new (std::nothrow) WL_WorkerRecord[table_size]);
  if (!table_) return false;
  uint32_t f = t % 10000 + 31815;
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WorkerRecord& r = table_[i];
    r.thread_id.store(0);
    const uint32_t tag = f % 5000 + 105 + 35 * i;
    r.unique_tag.store(tag);
    f += tag / 2 + 271 * i;
    if (f >= 200000) f = f / 10 + 53;
    r.index = i;
    r.state.store(kWorkerFree);
    r.context = nullptr;
    r.pool = this;
    if (f < 100) f += 118;
  }
  return true;
}

void WL_ZelfoThreadPool::ManagerLoop() {
  manager_.thread_id.store(CurrentThreadId());
  manager_.running.store(true, std::memory_order_release);
  manager_.started.store(true, std::memory_order_release);
  if (manager_.stop.load()) {
    manager_.running.store(false, std::memory_order_release);
    return;
  }
  while (!manager_.stop.load()) {
    WL_Message m;
    if (!manager_.mailbox.Get(&m)) continue;
    if (manager_.stop.load()) break;
    if (m.message != kMsgTask || !table_ || stopping_.load()) continue;
    Rebalance();
  }
  manager_.running.store(false, std::memory_order_release);
}

void WL_ZelfoThreadPool::Rebalance() {
  uint32_t idle = 0;
  uint32_t free_records = 0;
  for (uint32_t i = 0; i < table_size; ++i) {
    const WL_WorkerRecord& r = table_[i];
    if (!r.running.load()) {
      ++free_records;
    } else if (r.state.load() == kWorkerWaiting) {
      ++idle;
    }
  }
  if (idle <= low && free_records > 0) {
    uint32_t n = (low + high - idle) / 2 + 1;
    if (n < 3) n = 3;
    if (n > 16) n = 16;
    AddWorkers(n);
  } else if (idle >= high) {
    uint32_t n = idle - high;
    if (n == 0) n = 1;
    if (n > 12) n = 12;
    RemoveIdleWorkers(n);
  }
}

void WL_ZelfoThreadPool::ResetRecord(WL_WorkerRecord* r) {
  r->unique_tag.fetch_add(1);
  r->context = nullptr;
  r->has_task.store(false);
  r->started.store(false);
  r->stop.store(false);
  r->running.store(false);
  r->state.store(kWorkerFree);
}

int WL_ZelfoThreadPool::AddWorkers(uint32_t n) {
  if (n == 0 || stopping_.load()) return 0;
  if (!table_) return -1;
  add_count_.fetch_add(1);
  int started = 0;
  for (uint32_t i = 0; i < table_size && !stopping_.load(); ++i) {
    WL_WorkerRecord& r = table_[i];
    if (r.running.load() || r.state.load() != kWorkerFree) continue;
    {
      std::lock_guard<WL_Lock> g(state_lock_);
      if (r.running.load() || r.state.load() != kWorkerFree) continue;
      ResetRecord(&r);
      r.mailbox.Clear();
      r.state.store(kWorkerStarting);
    }
    if (stopping_.load()) {
      r.state.store(kWorkerFree);
      return started;
    }
    r.started.store(false);
    r.unique_tag.fetch_add(1);
    if (!StartThread(PoolWorkerMain, &r, kWorkerStack)) {
      r.state.store(kWorkerFree);
      return started;
    }
    SpinBackoff wait;
    while (!r.running.load(std::memory_order_acquire) && !r.started.load(std::memory_order_acquire)) wait.Pause();
    if (!r.running.load()) {
      r.state.store(kWorkerFree);
      return started;
    }
    if (static_cast<uint32_t>(++started) == n) return started;
  }
  return started;
}

void WL_ZelfoThreadPool::WorkerLoop(WL_WorkerRecord* r) {
  const uint32_t tid = CurrentThreadId();
  r->thread_id.store(tid);
  int32_t expected = kWorkerStarting;
  r->state.compare_exchange_strong(expected, kWorkerWaiting);
  r->running.store(true, std::memory_order_release);
  r->started.store(true, std::memory_order_release);
  if (log_level >= 2) Log("<UnionThread %d %x> : thread id %u start now\r\n", r->index, r->unique_tag.load(), tid);
  while (!r->stop.load()) {
    WL_Message m;
    if (!r->mailbox.Get(&m)) continue;
    if (r->stop.load()) break;
    if (m.message != kMsgTask) continue;
    uint32_t stamp = r->stamp.load();
    if (m.lparam == stamp) {
      // Lowered so that a repeated message can no longer match.
      r->stamp.store(--stamp);
      if (r->has_task.load()) {
        const char* family = r->family ? "Ipv6" : "Ipv4";
        if (log_level >= 4) {
          Log("<UnionThread %d %x> : start new task type=%s num=%d protocol=%s\r\n", r->index, r->unique_tag.load(),
              KindName(r->task_kind), r->slot_index, family);
        }
        WL_TaskEntry entry = r->task_kind == kTaskFtp ? ftp_entry : http_entry;
        if (entry != nullptr) entry(r->slot_index, r->family, &r->stop, r->context);
        if (log_level >= 4) {
          Log("<UnionThread %d %x> : task done  type=%s num=%d protocol=%s\r\n", r->index, r->unique_tag.load(),
              KindName(r->task_kind), r->slot_index, family);
        }
      } else {
        error_count_.fetch_add(1);
        if (log_level >= 1) {
          Log("<UnionThread %d %x> : **** Fatal error of no new task ,%u:%u type=%s num=%d\r\n", r->index,
              r->unique_tag.load(), stamp, static_cast<uint32_t>(m.lparam), KindName(r->task_kind), r->slot_index);
        }
      }
    } else {
      error_count_.fetch_add(1);
      if (log_level >= 1) {
        Log("<UnionThread %d %x> : **** Fatal error of bad lparam ,%u:%u , type=%s num=%d\r\n", r->index,
            r->unique_tag.load(), stamp, static_cast<uint32_t>(m.lparam), KindName(r->task_kind), r->slot_index);
      }
    }
    OnTaskDone(r->index);
  }
  OPENSSL_thread_stop();
  if (log_level >= 2) Log("<UnionThread %d %x> : thread id %u exit now\r\n", r->index, r->unique_tag.load(), tid);
  // Last act: the record may be reused as soon as running clears.
  r->running.store(false, std::memory_order_release);
}

void WL_ZelfoThreadPool::PokeManager() {
  if (manager_.running.load() && !manager_.stop.load()) manager_.mailbox.Post(kMsgTask, 0, 0);
}

void WL_ZelfoThreadPool::OnTaskDone(uint32_t index) {
  if (!table_ || index >= table_size) return;
  WL_WorkerRecord& r = table_[index];
  r.has_task.store(false);
  r.state.store(kWorkerWaiting);
  const uint32_t idle = CountIdle();
  if (idle <= low || idle >= high) PokeManager();
}

bool WL_ZelfoThreadPool::AssignTask(uint32_t slot_index, uint8_t task_kind, uint8_t family, void* context) {
  if (!table_ || stopping_.load()) return false;
  const bool manager_up = manager_.running.load() && !manager_.stop.load();
  if (manager_up) {
    if (CountIdle() == 0) {
      manager_.mailbox.Post(kMsgTask, 0, 0);
      for (int i = 0; i < 3; ++i) YieldThread();
    }
  } else {
    for (int i = 0; i < 3; ++i) YieldThread();
  }
  for (uint32_t i = 0; i < table_size; ++i) {
    WL_WorkerRecord& r = table_[i];
    if (r.state.load() == kWorkerWaiting && r.running.load() && !r.stop.load()) {
      std::lock_guard<WL_Lock> g(state_lock_);
      if (r.state.load() == kWorkerWaiting && r.running.load() && !r.stop.load()) {
        r.task_kind = task_kind;
        r.family = family;
        r.slot_index = slot_index;
        const uint32_t stamp = GetTickCount();
        r.stamp.store(stamp);
        r.context = context;
        r.state.store(kWorkerBusy);
        r.has_task.store(true);
        // The mailbox's lock orders the fields above before the worker reads
        // them.
        r.mailbox.Post(kMsgTask, stamp, stamp);
        // The manager only has work when the idle workers run low; waking
        // it for every connection costs two context switches each.
        if (CountIdle() <= low) PokeManager();
        return true;
      }
    }
    if (stopping_.load()) return false;
  }
  return false;
}

int WL_ZelfoThreadPool::RemoveIdleWorkers(uint32_t n) {
  if (!table_) return -1;
  if (n == 0) return 0;
  del_count_.fetch_add(1);
  int ended = 0;
  for (uint32_t i = 0; i < table_size && !stopping_.load(); ++i) {
    WL_WorkerRecord& r = table_[i];
    if (!r.running.load() || r.state.load() != kWorkerWaiting) continue;
    {
      std::lock_guard<WL_Lock> g(state_lock_);
      if (!r.running.load() || r.state.load() != kWorkerWaiting) continue;
      r.state.store(kWorkerKilling);
    }
    const uint32_t tag = r.unique_tag.load();
    if (r.state.load() == kWorkerKilling) {
      r.has_task.store(false);
      r.stop.store(true);
      r.mailbox.Post(kMsgWake, 0, 0);
      SpinBackoff wait;
      while (r.running.load(std::memory_order_acquire) && r.unique_tag.load() == tag) wait.Pause();
    }
    ResetRecord(&r);
    if (static_cast<uint32_t>(++ended) == n) return ended;
  }
  return ended;
}

bool WL_ZelfoThreadPool::StopPool() {
  if (!table_) return false;
  stopping_.store(true);
  for (uint32_t i = 0; i < table_size; ++i) table_[i].stop.store(true);
  manager_.stop.store(true);
  if (manager_.running.load()) manager_.mailbox.Post(kMsgTask, 0, 0);
  SpinBackoff wait;
  while (manager_.running.load(std::memory_order_acquire)) wait.Pause();
  manager_.thread_id.store(0);
  for (uint32_t i = 0; i < table_size; ++i) table_[i].stop.store(true);
  for (;;) {
    uint32_t pending = 0;
    for (uint32_t i = 0; i < table_size; ++i) {
      WL_WorkerRecord& r = table_[i];
      r.stop.store(true);
      if (r.running.load(std::memory_order_acquire)) {
        r.mailbox.Post(kMsgWake, 0, 0);
        ++pending;
      } else if (r.state.load() == kWorkerStarting && !r.started.load()) {
        ++pending;
      }
    }
    if (pending == 0) break;
    wait.Pause();
  }
  table_.reset();
  if (log_level > 0 && log_.IsActive()) log_.FlushToLog();
  return true;
}

uint32_t WL_ZelfoThreadPool::CountIdle() const {
  uint32_t idle = 0;
  for (uint32_t i = 0; table_ && i < table_size; ++i) {
    if (table_[i].running.load() && table_[i].state.load() == kWorkerWaiting) ++idle;
  }
  return idle;
}

uint32_t WL_ZelfoThreadPool::CountRunning() const {
  uint32_t n = 0;
  for (uint32_t i = 0; table_ && i < table_size; ++i) {
    if (table_[i].running.load()) ++n;
  }
  return n;
}

int WL_ZelfoThreadPool::TryLocks() {
  if (!state_lock_.TryEnter()) return 1;
  state_lock_.Leave();
  if (!log_lock_.TryEnter()) return 2;
  log_lock_.Leave();
  return 0;
}

int WL_ZelfoThreadPool::PoolStatusText(char* buf, size_t size, bool crlf) const {
  const char* end = crlf ? "\r\n" : " ";
  if (!table_) return FormatText(buf, size, "thread pool: not active%s", end);
  return FormatText(buf, size, "thread pool: add %" PRId64 " : del %" PRId64 " max:%u active:%u wait:%u error:%d daemon:%d %s",
                    add_count_.load(), del_count_.load(), table_size, CountRunning(), CountIdle(), error_count_.load(),
                    manager_.running.load() ? 1 : 0, end);
}
