#include "daemons/auto_backup.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>

#include "base/format.h"
#include "base/utf_str.h"
#include "core/server.h"
#include "core/settings.h"
#include "daemons/io_daemon.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/thread.h"

namespace {

// The directory path with one trailing "/". Names read from the disk are
// kept as they are: on Linux a backslash is an ordinary name character, and
// turning it into "/" would let a name such as "x\..\.." climb out of the
// backup roots (the roots themselves come already converted from the
// settings).
std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// inner lies in outer or is outer itself (both canonical).
bool Contains(const std::string& outer, const std::string& inner) {
  if (outer == "/") return true;
  return inner.size() >= outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         (inner.size() == outer.size() || inner[outer.size()] == '/');
}

bool Has(const std::vector<std::string>& sorted, const std::string& name) {
  return std::binary_search(sorted.begin(), sorted.end(), name);
}

// The directory itself, not a link to one.
bool IsRealDirectory(const std::string& path) {
  uint64_t size = 0;
  int kind = kKindOther;
  int64_t mtime = 0;
  return GetLinkInfo(path, &size, &kind, &mtime) && kind == kKindDirectory;
}

void* BackupThreadMain(void* arg) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(arg);
  WL_ThreadControl& ctl = svr->backup_ctl;
  ctl.thread_id.store(CurrentThreadId());
  ctl.running.store(true, std::memory_order_release);
  ctl.started.store(true, std::memory_order_release);
  if (ctl.stop_requested.load(std::memory_order_acquire)) {
    ctl.running.store(false, std::memory_order_release);
    return nullptr;
  }
  char* block = static_cast<char*>(svr->mempool.MemAlloc(kBackupBlock));
  if (block == nullptr) {
    ctl.running.store(false, std::memory_order_release);
    return nullptr;
  }
  WL_BackupRun::Options options;
  options.check_time = svr->set.Backup_checktime != 0;
  options.skip_hidden = svr->set.Backup_nosyshidden != 0;
  options.sync_mode = svr->set.Backup_syncmode != 0;
  WL_BackupRun::Counters counters{&svr->backup.bytes_copied, &svr->backup.files_done, &svr->backup.errors,
                                  &svr->file_read_errors, &svr->file_write_errors};
  WL_BackupRun run(options, counters, &ctl.stop_requested, block, kBackupBlock);
  // LogTimestamped writes straight into the thread-safe FTP log (and
  // nothing while Log_level is 0).
  run.log = [svr](const char* line) { svr->LogTimestamped(line, 0); };

  const uint64_t bytes0 = svr->backup.bytes_copied.load();
  const uint32_t files0 = svr->backup.files_done.load();
  const uint32_t errors0 = svr->backup.errors.load();
  svr->LogTimestamped("Auto backup: start\r\n", 0);
  const std::string* pairs[2][2] = {{&svr->set.Backup_source_1, &svr->set.Backup_dest_1},
                                    {&svr->set.Backup_source_2, &svr->set.Backup_dest_2}};
  for (int i = 0; i < 2; ++i) {
    if (i > 0 && ctl.stop_requested.load(std::memory_order_acquire)) break;
    const std::string& source = *pairs[i][0];
    const std::string& dest = *pairs[i][1];
    if (!BackupPairUsable(source, dest)) continue;
    BoundedStr<1280> line;
    if (line.Format("Auto backup: pair %d %s -> %s\r\n", i + 1, source.c_str(), dest.c_str())) {
      svr->LogTimestamped(line.c_str(), static_cast<int>(line.size()));
    }
    run.SyncDir(source, dest);
  }
  BoundedStr<256> done;
  if (done.Format("Auto backup: %s, files:%u errors:%u bytes:%" PRIu64 "\r\n",
                  ctl.stop_requested.load() ? "stopped" : "done", svr->backup.files_done.load() - files0,
                  svr->backup.errors.load() - errors0, svr->backup.bytes_copied.load() - bytes0)) {
    svr->LogTimestamped(done.c_str(), static_cast<int>(done.size()));
  }
  svr->mempool.MemFree(block);
  ctl.running.store(false, std::memory_order_release);
  return nullptr;
}

}  // namespace

bool BackupPairUsable(const std::string& source, const std::string& dest) {
  return source.size() >= 2 && dest.size() >= 2 && IsDirectoryPath(source) && IsDirectoryPath(dest);
}

bool BackupConfigured(const WL_Settings& set) {
  return set.Enable_backup != 0 &&
         (BackupPairUsable(set.Backup_source_1, set.Backup_dest_1) ||
          BackupPairUsable(set.Backup_source_2, set.Backup_dest_2));
}

bool BackupDue(int64_t now, int64_t last, int32_t gap_hours, int32_t exec_hour, int local_hour, bool requested) {
  if (requested) return true;
  const int64_t gap = static_cast<int64_t>(gap_hours) * 3600;
  const bool too_soon = now >= last + 65 && now - last < gap;
  if (too_soon) return false;
  return local_hour == exec_hour || now - last >= gap + 86400;
}

bool DecideBackup(WL_ZelFtpSvr* svr, bool configured, int64_t now) {
  if (!configured) return false;
  WL_ThreadControl& ctl = svr->backup_ctl;
  if (ctl.running.load(std::memory_order_acquire)) {
    // A request made while a run is in progress is dropped.
    svr->backup.request.store(0);
    return false;
  }
  struct tm local;
  const int hour = ToLocalTime(now, &local) ? local.tm_hour : 0;
  if (!BackupDue(now, svr->backup.last_start.load(), svr->set.Backup_gaphours, svr->set.Backup_exectime, hour,
                 svr->backup.request.load() != 0)) {
    return false;
  }
  svr->backup.request.store(0);
  svr->backup.last_start.store(now - 60);
  ctl.Clear();
  ctl.owner = svr;
  if (!StartThread(BackupThreadMain, svr, kBackupStack)) {
    if (svr->set.Log_level > 0) svr->timer_log.AddLine("Timerdaemon: failed to start backup thread\r\n", 0, false);
    return false;
  }
  SpinBackoff wait;
  while (!ctl.started.load(std::memory_order_acquire) && !ctl.running.load(std::memory_order_acquire)) wait.Pause();
  return true;
}

void StopBackupThread(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->backup_ctl;
  if (!ctl.running.load(std::memory_order_acquire)) return;
  ctl.stop_requested.store(true, std::memory_order_release);
  int turn = 0;
  while (ctl.running.load(std::memory_order_acquire)) SleepMs(turn++ & 1);
}

WL_BackupRun::WL_BackupRun(const Options& options, const Counters& counters, const std::atomic<bool>* stop,
                           char* block, size_t block_size)
    : options_(options), counters_(counters), stop_(stop), block_(block), block_size_(block_size) {}

bool WL_BackupRun::Stopping() const { return stop_ != nullptr && stop_->load(std::memory_order_acquire); }

void WL_BackupRun::Log(const char* fmt, ...) {
  if (!log) return;
  char line[1280];
  va_list ap;
  va_start(ap, fmt);
  const int n = FormatTextV(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n > 0) log(line);
}

bool WL_BackupRun::List(const std::string& dir, Listing* out) const {
  DirReader reader(dir);
  if (!reader.ok()) return false;
  struct Item {
    std::string name;
    uint64_t size;
    int64_t mtime;
  };
  std::vector<Item> files;
  DirEntry e;
  while (reader.Next(&e)) {
    ++out->raw_count;
    if (!IsValidUtf8(e.name.data(), e.name.size())) continue;
    const bool hidden = e.name[0] == '.';
    // Hidden means a leading "."; system means neither a regular file nor
    // a directory (links, devices, FIFOs, sockets).
    if (options_.skip_hidden && (hidden || e.kind == kKindOther)) continue;
    if (e.kind == kKindDirectory) {
      out->dirs.push_back(e.name);
    } else if (e.kind == kKindRegular) {
      files.push_back(Item{e.name, e.size, e.mtime});
    } else {
      out->others.push_back(e.name);
    }
  }
  if (reader.error()) return false;
  std::sort(out->dirs.begin(), out->dirs.end());
  std::sort(out->others.begin(), out->others.end());
  std::sort(files.begin(), files.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
  for (Item& f : files) {
    out->files.push_back(std::move(f.name));
    out->sizes.push_back(f.size);
    out->mtimes.push_back(f.mtime);
  }
  return true;
}

bool WL_BackupRun::SyncDir(const std::string& source, const std::string& dest) {
  if (Stopping() || source.size() < 2 || dest.size() < 2) return false;
  if (!IsDirectory(dest)) {
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  std::string real_source;
  std::string real_dest;
  if (!ResolvePath(source, &real_source) || !ResolvePath(dest, &real_dest)) {
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // Mirroring a directory into its own subtree (or the reverse) would copy
  // the destination into itself, or delete the source in sync mode.
  if (Contains(real_source, real_dest) || Contains(real_dest, real_source)) {
    Log("Auto backup: refused pair %s -> %s, one lies inside the other\r\n", source.c_str(), dest.c_str());
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  bool deletes = true;
  if (options_.sync_mode) {
    Listing s;
    Listing d;
    if (List(real_source, &s) && s.raw_count == 0 && List(real_dest, &d) &&
        (!d.dirs.empty() || !d.files.empty() || !d.others.empty())) {
      Log("Auto backup: warning, source %s is empty and %s is not: no deletes in this run\r\n", source.c_str(),
          dest.c_str());
      deletes = false;
    }
  }
  return SyncLevel(real_source, real_dest, 0, deletes);
}

bool WL_BackupRun::SyncLevel(const std::string& source, const std::string& dest, int depth, bool deletes) {
  if (Stopping()) return false;
  if (!IsRealDirectory(dest) || !IsRealDirectory(source)) {
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const std::string s = WithSlash(source);
  const std::string d = WithSlash(dest);
  Listing src;
  if (!List(s, &src) || Stopping()) return false;
  Listing dst;
  if (!List(d, &dst) || Stopping()) return false;

  if (options_.sync_mode && deletes) {
    // Links and special files are removed themselves; unlink never follows.
    for (const std::vector<std::string>* names : {&dst.files, &dst.others}) {
      for (const std::string& name : *names) {
        if (Stopping()) return true;
        if (Has(src.files, name)) continue;
        if (!RemoveFile(d + name)) counters_.errors->fetch_add(1, std::memory_order_relaxed);
      }
    }
    for (const std::string& name : dst.dirs) {
      if (Stopping()) return true;
      if (Has(src.dirs, name)) continue;
      if (!DeleteTree(d + name)) counters_.errors->fetch_add(1, std::memory_order_relaxed);
    }
  }

  for (size_t i = 0; i < src.files.size(); ++i) {
    if (Stopping()) return true;
    const std::string& name = src.files[i];
    auto it = std::lower_bound(dst.files.begin(), dst.files.end(), name);
    if (it != dst.files.end() && *it == name) {
      const size_t j = static_cast<size_t>(it - dst.files.begin());
      if (dst.sizes[j] == src.sizes[i] && (!options_.check_time || dst.mtimes[j] == src.mtimes[i])) continue;
    }
    CopyBackupFile(s + name, d + name);
  }

  for (const std::string& name : src.dirs) {
    if (Stopping()) return true;
    const std::string target = d + name;
    if (depth + 1 > kBackupMaxDepth) {
      Log("Auto backup: deeper than %d levels, skipped %s%s\r\n", kBackupMaxDepth, s.c_str(), name.c_str());
      counters_.errors->fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    uint64_t size = 0;
    int kind = kKindOther;
    int64_t mtime = 0;
    if (!GetLinkInfo(target, &size, &kind, &mtime)) {
      if (d.size() <= 2 || !MakeDirectory(target)) {
        counters_.errors->fetch_add(1, std::memory_order_relaxed);
        continue;
      }
    } else if (kind != kKindDirectory) {
      // A file, or a link that may point anywhere: never descend into it.
      counters_.errors->fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    SyncLevel(s + name, target, depth + 1, deletes);
  }
  return true;
}

bool WL_BackupRun::CopyBackupFile(const std::string& source, const std::string& target) {
  if (source.empty() || target.empty()) return false;
  uint64_t size = 0;
  int64_t ctime = 0;
  int64_t mtime = 0;
  FILE* in = OpenReadNoFollow(source, &size, &ctime, &mtime);
  if (in == nullptr) {
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  uint64_t target_size = 0;
  int target_kind = kKindOther;
  int64_t target_mtime = 0;
  if (GetLinkInfo(target, &target_size, &target_kind, &target_mtime) && target_kind == kKindRegular &&
      target_size == size && (!options_.check_time || target_mtime == mtime)) {
    CloseFile(in);
    counters_.files_done->fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  WL_CopyParams p;
  p.block = block_;
  p.block_size = block_size_;
  p.stop = stop_;
  p.after_block = &after_block;
  p.ctime = ctime;
  p.mtime = mtime;
  uint64_t bytes = 0;
  bool times_set = false;
  const WL_CopyEnd end = CopyStreamToTarget(in, target, p, &bytes, &times_set);
  CloseFile(in);
  counters_.bytes_copied->fetch_add(bytes, std::memory_order_relaxed);
  if (end == WL_CopyEnd::kReadError) counters_.read_errors->fetch_add(1, std::memory_order_relaxed);
  if (end == WL_CopyEnd::kWriteError) counters_.write_errors->fetch_add(1, std::memory_order_relaxed);
  if (end != WL_CopyEnd::kDone || (options_.check_time && !times_set)) {
    counters_.errors->fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  counters_.files_done->fetch_add(1, std::memory_order_relaxed);
  return true;
}
