// The auto backup: mirrors up to two source directories into their
// destination directories. The timer daemon decides every 100 seconds
// whether a run is due (once shortly after each start, then at
// Backup_exectime o'clock at least Backup_gaphours later, or at any hour a
// day after that) and starts a short-lived backup thread for one run over
// both pairs; BKUP asks for a run at the next check.
//
// A run copies every file that is missing at the destination or differs in
// size (and, with Backup_checktime, in modification time), creates missing
// directories and recurses; with Backup_syncmode it also deletes what the
// source no longer has. The walk never follows a symbolic link: every entry
// is classified with lstat, links in the source are skipped, a link in the
// destination is replaced or removed itself, tree deletes do not follow
// links, and sources are opened with O_NOFOLLOW. A copy goes through a
// temporary file and a rename, so the last good copy survives a failed or
// stopped one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class WL_ZelFtpSvr;
struct WL_Settings;

constexpr size_t kBackupBlock = 524288;
constexpr size_t kBackupStack = 8388608;
// Directory levels below a pair's root that a run descends into.
constexpr int kBackupMaxDepth = 64;

// The auto backup's part of the server.
struct WL_BackupState {
  std::atomic<int64_t> last_start{0};  // seconds; 0 after every start
  std::atomic<uint8_t> request{0};     // set by BKUP
  std::atomic<uint64_t> bytes_copied{0};
  std::atomic<uint32_t> files_done{0};
  std::atomic<uint32_t> errors{0};
};

// Both paths have at least 2 characters and are existing directories.
bool BackupPairUsable(const std::string& source, const std::string& dest);
// Enable_backup is on and at least one pair is usable.
bool BackupConfigured(const WL_Settings& set);

// Whether a run is due at now (seconds) after the last run's start: always
// when requested; never while now - last is below the gap (unless the
// clock went back, now < last + 65); otherwise in the local hour
// exec_hour, or at any hour once a day beyond the gap has passed.
bool BackupDue(int64_t now, int64_t last, int32_t gap_hours, int32_t exec_hour, int local_hour, bool requested);

// The timer's decision: with the backup configured and no run in progress,
// starts the backup thread when a run is due. True when a run started.
bool DecideBackup(WL_ZelFtpSvr* svr, bool configured, int64_t now);
// Sets the backup thread's stop request and waits until it has ended.
void StopBackupThread(WL_ZelFtpSvr* svr);

// One run's walk over a directory pair, independent of the server.
class WL_BackupRun {
 public:
  struct Options {
    bool check_time = true;   // Backup_checktime
    bool skip_hidden = true;  // Backup_nosyshidden
    bool sync_mode = false;   // Backup_syncmode
  };
  struct Counters {
    std::atomic<uint64_t>* bytes_copied;
    std::atomic<uint32_t>* files_done;
    std::atomic<uint32_t>* errors;
    std::atomic<int64_t>* read_errors;
    std::atomic<int64_t>* write_errors;
  };

  // block holds block_size bytes for the copies; stop is the run's stop
  // request.
  WL_BackupRun(const Options& options, const Counters& counters, const std::atomic<bool>* stop, char* block,
               size_t block_size);

  // Receives the run's log lines (each ending in CR LF).
  std::function<void(const char*)> log;
  // Runs after each copied block (tests stop a copy in its middle with it).
  std::function<void()> after_block;

  // Mirrors source into dest. The roots may be links (the operator chose
  // them); both are resolved first, and a pair where one lies inside the
  // other, or both are one directory, is refused with a log line. A source
  // root without any entry over a destination that has some (an unmounted
  // disk's mount point) is copied from but deletes nothing, with a warning.
  // False when the pair was refused or the root could not be listed.
  bool SyncDir(const std::string& source, const std::string& dest);
  // Copies one regular file. True when target holds the copy (or already
  // matched). A source that is not a regular file (a link included) is an
  // error.
  bool CopyBackupFile(const std::string& source, const std::string& target);

 private:
  struct Listing {
    std::vector<std::string> dirs;
    std::vector<std::string> files;  // regular files
    std::vector<uint64_t> sizes;
    std::vector<int64_t> mtimes;
    std::vector<std::string> others;  // links and special files
    size_t raw_count = 0;             // every entry, filters aside
  };
  bool Stopping() const;
  bool List(const std::string& dir, Listing* out) const;
  bool SyncLevel(const std::string& source, const std::string& dest, int depth, bool deletes);
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  Options options_;
  Counters counters_;
  const std::atomic<bool>* stop_;
  char* block_;
  size_t block_size_;
};
