// The pool of worker threads that run FTP and HTTP sessions.
//
// Workers are started ahead of demand by a manager thread that keeps the
// number of idle workers between a low and a high limit. AssignTask hands a
// session to an idle worker or fails at once: work is never queued.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/logs.h"
#include "platform/sync.h"
#include "platform/thread.h"

// A task runs one session to its end. The pool ignores the result.
using WL_TaskEntry = int (*)(uint32_t slot_index, uint8_t family, const std::atomic<bool>* stop, void* context);

enum WL_WorkerState : int32_t {
  kWorkerFree = 0,
  kWorkerStarting = 1,  // In_start_1
  kWorkerKilling = 3,   // In_killing
  kWorkerWaiting = 4,   // Pool_wait
  kWorkerBusy = 5,      // Task_busy
};

class WL_ZelfoThreadPool;

struct WL_WorkerRecord {
  std::atomic<bool> running{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> started{false};
  uint32_t index = 0;
  std::atomic<uint32_t> thread_id{0};
  std::atomic<uint32_t> unique_tag{0};
  std::atomic<int32_t> state{kWorkerFree};
  uint8_t task_kind = 0;  // 1 FTP, 0 HTTP
  uint8_t family = 0;     // 0 IPv4, 1 IPv6
  std::atomic<bool> has_task{false};
  uint32_t slot_index = 0;
  std::atomic<uint32_t> stamp{0};
  void* context = nullptr;
  WL_ZelfoThreadPool* pool = nullptr;
  WL_Mailbox mailbox;
};

struct WL_ManagerRecord {
  std::atomic<bool> running{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> started{false};
  std::atomic<uint32_t> thread_id{0};
  WL_ZelfoThreadPool* pool = nullptr;
  WL_Mailbox mailbox;
};

class WL_ZelfoThreadPool {
 public:
  static constexpr uint8_t kTaskFtp = 1;
  static constexpr uint8_t kTaskHttp = 0;

  WL_ZelfoThreadPool();
  virtual ~WL_ZelfoThreadPool();

  // Configuration, set by the server before Start.
  WL_TaskEntry ftp_entry = nullptr;
  WL_TaskEntry http_entry = nullptr;
  int32_t log_level = 0;
  uint32_t low = 0;
  uint32_t high = 0;
  uint32_t table_size = 0;
  void SetLogTarget(WL_DaemonLog* target) { log_.SetTarget(target); }

  // The start the server runs: checks the entries, InitPool, the pool log,
  // the manager thread (waiting until it is up) and its first task message.
  // Returns false on any failure.
  bool Start();
  // Validates the limits and allocates the worker table. False when the
  // table exists or cannot be allocated.
  bool InitPool();
  // Hands a session to an idle worker. False at once when none is idle.
  bool AssignTask(uint32_t slot_index, uint8_t task_kind, uint8_t family, void* context);
  // Starts up to n workers; returns how many started (0 when n is 0 or the
  // pool stops, -1 without a table).
  int AddWorkers(uint32_t n);
  // Ends up to n idle workers; returns how many ended (-1 without a table).
  int RemoveIdleWorkers(uint32_t n);
  // Stops the manager and every worker, waiting for running tasks to
  // return. False without a table.
  bool StopPool();
  // Posts the manager a task message when it runs.
  void PokeManager();
  // One status line; crlf selects "\r\n" or a blank as its end.
  int PoolStatusText(char* buf, size_t size, bool crlf) const;

  // Counts for status commands and tests.
  uint32_t CountIdle() const;
  uint32_t CountRunning() const;
  bool HasTable() const { return table_ != nullptr; }
  bool ManagerRunning() const { return manager_.running.load(); }
  bool Stopping() const { return stopping_.load(); }
  // Lock check of the status commands: 0 when the state lock and the log
  // lock can both be taken at once (each is released again), 1 when the
  // state lock is held, 2 when the log lock is held.
  int TryLocks();
  int32_t ErrorCount() const { return error_count_.load(); }
  const WL_WorkerRecord* Record(uint32_t i) const { return i < table_size ? &table_[i] : nullptr; }
  WL_WorkerRecord* MutableRecord(uint32_t i) { return i < table_size ? &table_[i] : nullptr; }

 private:
  friend void* PoolWorkerMain(void*);
  friend void* PoolManagerMain(void*);

  void OnTaskDone(uint32_t index);
  void Rebalance();
  void ResetRecord(WL_WorkerRecord* r);
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void WorkerLoop(WL_WorkerRecord* r);
  void ManagerLoop();

  std::atomic<bool> stopping_{false};
  std::atomic<int32_t> error_count_{0};
  std::atomic<int64_t> add_count_{0};
  std::atomic<int64_t> del_count_{0};
  WL_ManagerRecord manager_;
  WL_Lock state_lock_;
  WL_Lock log_lock_;
  WL_MinMemLog log_;
  std::unique_ptr<WL_WorkerRecord[]> table_;
};
