// The IO daemon: a thread that carries out server-side file copies queued by
// control sessions (RCPY), so that a session never blocks on a large copy.
//
// Sessions append jobs with EnqueueIoJob under the server's totals_lock and
// post message 1044; the daemon takes them one at a time. Message 1045 only
// makes it look at its stop request. A copy goes to a temporary file beside
// the target and replaces the target by a rename once it is complete, so a
// failed or stopped copy never leaves a half-written target behind and
// never costs the last good one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "platform/thread.h"

class WL_ZelFtpSvr;

constexpr uint32_t kMsgIoJob = 1044;   // run queued jobs
constexpr uint32_t kMsgIoWake = 1045;  // look at the stop request
constexpr size_t kIoQueueLimit = 256;
constexpr size_t kCopyBlock = 524288;  // one memory-pool block per copy

// One queued job. Kind 0 copies source to target; RCPY also queues kinds 1
// to 3, which are taken off the queue without action.
struct WL_IoJob {
  int32_t kind = 0;
  std::string source;
  std::string target;
};

// The IO daemon's part of the server.
struct WL_IoState {
  WL_Mailbox mailbox;               // exists before the thread starts
  std::deque<WL_IoJob> jobs;        // under the server's totals_lock
  std::atomic<uint64_t> jobs_done{0};
};

// Starts the IO daemon thread on svr->io_ctl and waits until it reports both
// started and running. False when the thread cannot be created.
bool StartIoDaemon(WL_ZelFtpSvr* svr);
// Sets the stop request, posts 1045 and waits until the thread has left. A
// copy in progress ends at its next block and removes its temporary file.
void StopIoDaemon(WL_ZelFtpSvr* svr);

// Queues a copy of job. False when the IO daemon does not run or
// kIoQueueLimit jobs are waiting; otherwise the daemon is woken.
bool EnqueueIoJob(WL_ZelFtpSvr* svr, const WL_IoJob& job);
// The number of jobs waiting (taken under totals_lock).
size_t IoJobsWaiting(WL_ZelFtpSvr* svr);
// Drops every waiting job (RCPY -1). Returns how many were dropped.
size_t ClearIoQueue(WL_ZelFtpSvr* svr);

// Takes the first waiting job and runs it. True when a job was completed:
// a copy done, a copy that was not needed (the target already matches, or
// source and target are the same file), or a kind-5 job with both paths.
bool RunOneIoJob(WL_ZelFtpSvr* svr, const std::atomic<bool>* stop);

// Copies the regular file source to target (a symbolic link as source is
// refused). True when target holds the copy, or already had the source's
// size and modification time. The target keeps the source's modification
// time. after_block, when given, runs after each block is written (tests
// stop a copy in its middle with it).
bool CopyFileJob(WL_ZelFtpSvr* svr, const std::string& source, const std::string& target,
                 const std::atomic<bool>* stop, const std::function<void()>* after_block = nullptr);

// The copy engine shared with the auto backup.
enum class WL_CopyEnd { kDone, kStopped, kReadError, kWriteError, kTargetError };

struct WL_CopyParams {
  char* block = nullptr;
  size_t block_size = 0;
  const std::atomic<bool>* stop = nullptr;
  const std::function<void()>* after_block = nullptr;
  int64_t ctime = 0;  // times for the new target; below 1 leaves it
  int64_t mtime = 0;
};

// Copies the open source stream (read to its end) into a new temporary file
// beside target, flushes it to disk, sets its times and renames it over
// target. On any failure or a stop the temporary file is removed and
// target is left as it was. *bytes grows by every byte written;
// *times_set tells whether the times could be set (the copy is kept
// either way). Does not close source.
WL_CopyEnd CopyStreamToTarget(FILE* source, const std::string& target, const WL_CopyParams& p, uint64_t* bytes,
                              bool* times_set);
