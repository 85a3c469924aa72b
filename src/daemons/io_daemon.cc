#include "daemons/io_daemon.h"

#include <mutex>

#include "core/server.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr size_t kIoStack = 4194304;

bool Stopping(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(std::memory_order_acquire); }

void* IoDaemonMain(void* arg) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(arg);
  WL_ThreadControl& ctl = svr->io_ctl;
  ctl.thread_id.store(CurrentThreadId());
  ctl.running.store(true, std::memory_order_release);
  ctl.started.store(true, std::memory_order_release);
  for (;;) {
    WL_Message m;
    const bool got = svr->io.mailbox.Get(&m);
    if (ctl.stop_requested.load(std::memory_order_acquire)) break;
    if (!got || m.message != kMsgIoJob) continue;
    // Every queued job posted one message; running up to two per message
    // drains the queue even when a message finds its job already taken.
    if (RunOneIoJob(svr, &ctl.stop_requested)) {
      svr->io.jobs_done.fetch_add(1, std::memory_order_relaxed);
      if (!ctl.stop_requested.load(std::memory_order_acquire) && RunOneIoJob(svr, &ctl.stop_requested)) {
        svr->io.jobs_done.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  ctl.running.store(false, std::memory_order_release);
  return nullptr;
}

}  // namespace

bool StartIoDaemon(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->io_ctl;
  ctl.Clear();
  ctl.owner = svr;
  svr->io.mailbox.Clear();
  if (!StartThread(IoDaemonMain, svr, kIoStack)) return false;
  SpinBackoff wait;
  while (!(ctl.started.load(std::memory_order_acquire) && ctl.running.load(std::memory_order_acquire))) {
    wait.Pause();
  }
  return true;
}

void StopIoDaemon(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->io_ctl;
  ctl.stop_requested.store(true, std::memory_order_release);
  if (ctl.running.load(std::memory_order_acquire) && ctl.thread_id.load() != -1) {
    svr->io.mailbox.Post(kMsgIoWake, 0, 0);
  }
  SpinBackoff wait;
  while (ctl.running.load(std::memory_order_acquire)) wait.Pause();
}

bool EnqueueIoJob(WL_ZelFtpSvr* svr, const WL_IoJob& job) {
  if (!svr->io_ctl.running.load(std::memory_order_acquire)) return false;
  {
    std::lock_guard<WL_Lock> g(svr->totals_lock);
    if (svr->io.jobs.size() >= kIoQueueLimit) return false;
    svr->io.jobs.push_back(job);
  }
  // The mailbox exists for the daemon's whole life, so a post cannot fail.
  svr->io.mailbox.Post(kMsgIoJob, 0, 0);
  return true;
}

size_t IoJobsWaiting(WL_ZelFtpSvr* svr) {
  std::lock_guard<WL_Lock> g(svr->totals_lock);
  return svr->io.jobs.size();
}

size_t ClearIoQueue(WL_ZelFtpSvr* svr) {
  std::lock_guard<WL_Lock> g(svr->totals_lock);
  const size_t n = svr->io.jobs.size();
  svr->io.jobs.clear();
  return n;
}

bool RunOneIoJob(WL_ZelFtpSvr* svr, const std::atomic<bool>* stop) {
  WL_IoJob job;
  {
    std::lock_guard<WL_Lock> g(svr->totals_lock);
    if (svr->io.jobs.empty()) return false;
    job = std::move(svr->io.jobs.front());
    svr->io.jobs.pop_front();
  }
  if (job.kind < 4) {
    if (job.source.empty() || job.target.empty()) return false;
    // File names are case-sensitive here: "/a/File" and "/a/file" are two
    // files. Only the same bytes, or two names of one file (a hard link, a
    // directory reached twice), leave nothing to do.
    if (job.source == job.target || SameFile(job.source, job.target)) return true;
  }
  if (Stopping(stop)) return false;
  switch (job.kind) {
    case 0:
      return CopyFileJob(svr, job.source, job.target, stop);
    case 5:
      return !job.source.empty() && !job.target.empty();
    default:
      return false;
  }
}

WL_CopyEnd CopyStreamToTarget(FILE* source, const std::string& target, const WL_CopyParams& p, uint64_t* bytes,
                              bool* times_set) {
  *times_set = false;
  std::string temp;
  FILE* out = CreateTempBeside(target, &temp);
  if (out == nullptr) return WL_CopyEnd::kTargetError;
  WL_CopyEnd end = WL_CopyEnd::kDone;
  for (;;) {
    if (Stopping(p.stop)) {
      end = WL_CopyEnd::kStopped;
      break;
    }
    const size_t n = ReadBytes(source, p.block, p.block_size);
    if (n == 0) {
      if (!AtEnd(source)) end = WL_CopyEnd::kReadError;
      break;
    }
    const size_t w = WriteFile(out, p.block, n);
    *bytes += w;
    if (w < n) {
      end = WL_CopyEnd::kWriteError;
      break;
    }
    if (p.after_block != nullptr && *p.after_block) (*p.after_block)();
  }
  if (end == WL_CopyEnd::kDone) {
    // On disk before the rename, so a crash never swaps a good copy for an
    // empty one.
    const bool synced = SyncFile(out);
    if (!CloseFileChecked(out) || !synced) end = WL_CopyEnd::kWriteError;
  } else {
    CloseFile(out);
  }
  if (end != WL_CopyEnd::kDone) {
    RemoveFile(temp);
    return end;
  }
  *times_set = SetFileTimes(temp, p.ctime, p.mtime);
  if (!ReplaceFile(temp, target)) {
    RemoveFile(temp);
    return WL_CopyEnd::kTargetError;
  }
  return WL_CopyEnd::kDone;
}

bool CopyFileJob(WL_ZelFtpSvr* svr, const std::string& source, const std::string& target,
                 const std::atomic<bool>* stop, const std::function<void()>* after_block) {
  uint64_t size = 0;
  int64_t ctime = 0;
  int64_t mtime = 0;
  FILE* in = OpenReadNoFollow(source, &size, &ctime, &mtime);
  if (in == nullptr) return false;
  uint64_t target_size = 0;
  int target_kind = kKindOther;
  int64_t target_mtime = 0;
  if (GetLinkInfo(target, &target_size, &target_kind, &target_mtime) && target_kind == kKindRegular &&
      target_size == size && target_mtime == mtime) {
    CloseFile(in);
    return true;  // already copied
  }
  char* block = static_cast<char*>(svr->mempool.MemAlloc(kCopyBlock));
  if (block == nullptr) {
    CloseFile(in);
    return false;
  }
  WL_CopyParams p;
  p.block = block;
  p.block_size = kCopyBlock;
  p.stop = stop;
  p.after_block = after_block;
  p.mtime = mtime;  // the creation time stays as the new file has it
  uint64_t bytes = 0;
  bool times_set = false;
  const WL_CopyEnd end = CopyStreamToTarget(in, target, p, &bytes, &times_set);
  CloseFile(in);
  svr->mempool.MemFree(block);
  if (end == WL_CopyEnd::kReadError) svr->file_read_errors.fetch_add(1, std::memory_order_relaxed);
  if (end == WL_CopyEnd::kWriteError) svr->file_write_errors.fetch_add(1, std::memory_order_relaxed);
  return end == WL_CopyEnd::kDone;
}
