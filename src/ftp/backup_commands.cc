// The private client's backup-tree and position commands: SETT, TEST, BKUP,
// RCPY, ADIR, EDIR, SAVS, LDIR, LFIL, GHOT, AHOT, GTOP and ATOP.
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/account.h"
#include "base/file_util.h"
#include "base/local_path.h"
#include "base/text_scan.h"
#include "core/server.h"
#include "daemons/auto_backup.h"
#include "daemons/io_daemon.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/diagnostics.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/virtual_path.h"
#include "platform/fs.h"

namespace {

// Which sessions a command serves.
enum class Mode { kAny, kBackup, kNormal };

// The refusals these commands start with, in their order: not logged in,
// the wrong mode, the proxy account (all counted), then command protect
// when a kind is given. Returns 1 to run, 0 when a refusal was sent, -1
// when it could not be sent.
int Check(WL_ZelFtpSvr* svr, WL_FtpSession& s, Mode mode, std::string_view arg, uint32_t protect_kind = 0) {
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n") ? 0 : -1;
  if (mode == Mode::kBackup && !s.backup_mode) return Refuse(svr, s, "550 must be in backup mode\r\n") ? 0 : -1;
  if (mode == Mode::kNormal && s.backup_mode) return Refuse(svr, s, "550 must not be backup mode\r\n") ? 0 : -1;
  if (s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  if (protect_kind != 0) {
    bool ok;
    if (!PassesProtect(svr, s, arg, protect_kind, &ok)) return ok ? 0 : -1;
  }
  return 1;
}

#define GATE(...)                                       \
  WL_FtpSession& s = *svr->Session(slot, family);       \
  {                                                     \
    const int g = Check(svr, s, __VA_ARGS__);           \
    if (g <= 0) return g == 0;                          \
  }

// The texts AHOT, ATOP and SAVS store are bounded.
constexpr size_t kMaxPositionText = 1000;

// SETT: "<creation> <last-write>*<path>", both times in seconds since 1970;
// a time below 1 is left as it is.
bool HandleSett(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kBackup, arg);
  s.rest_offset = 0;
  const char* star = strchr(arg, '*');
  if (star == nullptr) return ReplyText(svr, s, "450 bad parameters\r\n");
  const std::string numbers(arg, static_cast<size_t>(star - arg));
  int64_t times[2] = {0, 0};
  const std::string_view path = TrimWhite(star + 1);
  if (ScanFields(numbers.c_str(), "ll", times) != 2 || path.empty()) {
    return ReplyText(svr, s, "450 bad parameters [2]\r\n");
  }
  std::string local;
  if (!ResolveFilePath(svr, s, path, &local) || !ExtendSecurityCheck(svr, s, local, 4971) ||
      !IsSafeLocalPath(local)) {
    return ReplyText(svr, s, "450 bad parameters\r\n");
  }
  // The file must be a regular file this server may write, even when both
  // times are left alone.
  FILE* f = OpenFile(local, "r+b");
  bool ok = f != nullptr;
  if (f != nullptr) CloseFile(f);
  if (ok) ok = SetFileTimes(local, times[0], times[1]);
  if (!ok) return ReplyText(svr, s, "500 reset file time failed\r\n");
  return Reply(svr, s, "200 %" PRId64 " %" PRId64 " \r\n", times[0], times[1]);
}

// TEST and BKUP serve the administrator only; to anybody else, logged in
// or not, they do not exist.
int AdminCheck(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (!s.logged_in || !s.is_admin) return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  return 1;
}

// TEST: 0 when every lock can be taken at once and every service thread
// runs, else the code of the first that fails.
bool HandleTest(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (const int g = AdminCheck(svr, s); g <= 0) return g == 0;
  return Reply(svr, s, "200 %d\r\n", LockCheck(svr));
}

// BKUP: the timer daemon starts an auto backup run at its next check,
// whatever the schedule says.
bool HandleBkup(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (const int g = AdminCheck(svr, s); g <= 0) return g == 0;
  svr->backup.request.store(1);
  return ReplyText(svr, s, "200 done\r\n");
}

// RCPY "<type>*<virtual path>": a copy for the IO daemon. Type 0 (and 1)
// copies the file of the backup tree into the current directory under its
// own name; 2 and 3 name the current directory itself; -1 drops every
// waiting job (the administrator only).
bool HandleRcpy(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kBackup, arg);
  if (*arg == '\0') return ReplyText(svr, s, "500 bad parameters\r\n");
  bool ok;
  if (!PassesProtect(svr, s, arg, kProtectCopy, &ok)) return ok;
  const char* star = strchr(arg, '*');
  if (star == nullptr) return ReplyText(svr, s, "500 bad parameters\r\n");
  const std::string type_text(arg, static_cast<size_t>(star - arg));
  const std::string_view path = TrimWhite(star + 1);
  int64_t type;
  if (path.empty() || path[0] != '/' || !IsSafeVirtualPath(path) || ScanFields(type_text.c_str(), "d", &type) != 1) {
    return ReplyText(svr, s, "500 bad parameters\r\n");
  }
  if (type < -1 || type > 5) return ReplyText(svr, s, "500 unkown task type\r\n");
  if (type == 4 || type == 5) return ReplyText(svr, s, "450 unsupport command\r\n");
  if (type == -1) {
    // Only the administrator may drop the jobs of every session.
    if (!s.is_admin) return ReplyText(svr, s, "500 need admin account\r\n");
    ClearIoQueue(svr);
    return ReplyText(svr, s, "200 command done\r\n");
  }
  WL_IoJob job;
  job.kind = static_cast<int32_t>(type);
  job.source = std::string(s.backup_root.view()) + std::string(path);
  std::string cwd;
  if (type <= 1) {
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (!IsSafeName(name) || !IsSafeLocalPath(job.source)) return ReplyText(svr, s, "500 unsafe pathfile\r\n");
    if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "550 bad local dir\r\n");
    job.target = FoldSlashes(cwd + "/" + std::string(name));
  } else {
    if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "550 bad local dir\r\n");
    job.target = cwd;
  }
  return Reply(svr, s, "%d command done\r\n", EnqueueIoJob(svr, job) ? 200 : 500);
}

// ADIR: a directory of the backup tree with its four category
// subdirectories; an existing one gets the subdirectories it lacks.
bool HandleAdir(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kBackup, arg, kProtectChange);
  if (*arg == '\0') return ReplyText(svr, s, "450 bad parameter\r\n");
  if (!IsSafeName(arg)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
  std::string local(s.backup_root.view());
  local += s.current_path.view();
  if (s.current_path.view() != "/") local += '/';
  local = FoldSlashes(local + arg);
  if (!IsSafeLocalPath(local)) return ReplyText(svr, s, "450 unsafe pathfile\r\n");
  if (!ExtendSecurityCheck(svr, s, local, 4930)) return ReplyText(svr, s, "450 security error\r\n");
  if (!IsDirectory(local) && !MakeDirectory(local)) return ReplyText(svr, s, "450 failed to make directory\r\n");
  for (const char* sub : {"__doc__", "__pict__", "__media__", "__other__"}) {
    const std::string path = local + "/" + sub;
    if (!IsDirectory(path) && !MakeDirectory(path)) return ReplyText(svr, s, "450 failed to make sub directory\r\n");
  }
  return ReplyText(svr, s, "200 done\r\n");
}

// EDIR: whether a directory (a name in the current one, or the current one
// itself) exists.
bool HandleEdir(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kAny, arg);
  s.skip_data_shutdown = 0;
  std::string local;
  if (*arg != '\0') {
    if (!IsSafeName(arg) || strlen(arg) >= 256) return ReplyText(svr, s, "500 unsafe parameter\r\n");
    std::string cwd;
    if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "500 not exist\r\n");
    local = FoldSlashes(cwd + "/" + arg);
  } else if (!CurrentLocalDir(svr, s, &local) || local.size() <= 1) {
    return ReplyText(svr, s, "500 not exist\r\n");
  }
  return ReplyText(svr, s, IsDirectory(local) ? "200 vdir exist\r\n" : "500 not exist\r\n");
}

// SAVS: the account's last directory and file, shared by all its sessions.
bool HandleSavs(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  {
    std::lock_guard<WL_Lock> g(svr->account_lock);
    WL_AccountRecord& a = svr->accounts.MutableAccount(static_cast<int>(s.account_index));
    if (s.current_path.view() == "/") {
      a.last_dir.clear();
      a.last_file.clear();
    } else {
      if (IsSafeName(arg) && strlen(arg) < kMaxPositionText) a.last_file.Assign(arg);
      if (s.current_path.size() <= kMaxPositionText) a.last_dir.Assign(s.current_path.view());
    }
  }
  return ReplyText(svr, s, "200 command ok\r\n");
}

bool HandleLdir(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  BoundedStr<1001> dir;
  bool has_file;
  {
    std::lock_guard<WL_Lock> g(svr->account_lock);
    const WL_AccountRecord& a = svr->accounts.GetAccount(static_cast<int>(s.account_index));
    dir = a.last_dir;
    has_file = !a.last_file.empty();
  }
  if (dir.empty()) return ReplyText(svr, s, "450 no dir found\r\n");
  return Reply(svr, s, "%d %s\r\n", has_file ? 201 : 200, dir.c_str());
}

bool HandleLfil(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  BoundedStr<1000> file;
  {
    std::lock_guard<WL_Lock> g(svr->account_lock);
    file = svr->accounts.GetAccount(static_cast<int>(s.account_index)).last_file;
  }
  if (file.empty()) return ReplyText(svr, s, "450 no dir found\r\n");
  return Reply(svr, s, "200 %s\r\n", file.c_str());
}

// GHOT and GTOP: the server-wide hot or top path.
bool ReplyPosition(WL_ZelFtpSvr* svr, WL_FtpSession& s, const BoundedStr<1001>& stored) {
  BoundedStr<1001> path;
  {
    std::lock_guard<WL_Lock> g(svr->totals_lock);
    path = stored;
  }
  if (path.empty()) return ReplyText(svr, s, "500 no resource\r\n");
  return Reply(svr, s, "200 %s\r\n", path.c_str());
}

bool HandleGhot(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  return ReplyPosition(svr, s, svr->hot_path);
}

bool HandleGtop(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  return ReplyPosition(svr, s, svr->top_path);
}

// AHOT and ATOP: without an argument the path is cleared; with a name it
// becomes the current path plus that name.
bool SetPosition(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, BoundedStr<1001>* stored,
                 const char* cleared) {
  if (*arg == '\0') {
    {
      std::lock_guard<WL_Lock> g(svr->totals_lock);
      stored->clear();
    }
    return ReplyText(svr, s, cleared);
  }
  if (!IsSafeName(arg) || s.current_path.view() == "/") return ReplyText(svr, s, "500 bad parameter\r\n");
  const std::string path = FoldSlashes(std::string(s.current_path.view()) + "/" + arg);
  if (path.size() <= kMaxPositionText) {
    std::lock_guard<WL_Lock> g(svr->totals_lock);
    stored->Assign(path);
  }
  return ReplyText(svr, s, "200 command ok\r\n");
}

bool HandleAhot(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  return SetPosition(svr, s, arg, &svr->hot_path, "200 clear hot resource\r\n");
}

bool HandleAtop(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(Mode::kNormal, arg);
  return SetPosition(svr, s, arg, &svr->top_path, "200 clear top resource\r\n");
}

}  // namespace

WL_CommandHandler BackupHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdSett: return HandleSett;
    case kCmdTest: return HandleTest;
    case kCmdBkup: return HandleBkup;
    case kCmdRcpy: return HandleRcpy;
    case kCmdAdir: return HandleAdir;
    case kCmdEdir: return HandleEdir;
    case kCmdSavs: return HandleSavs;
    case kCmdLdir: return HandleLdir;
    case kCmdLfil: return HandleLfil;
    case kCmdGhot: return HandleGhot;
    case kCmdGtop: return HandleGtop;
    case kCmdAhot: return HandleAhot;
    case kCmdAtop: return HandleAtop;
    default: return nullptr;
  }
}
