// The commands that move through the virtual tree and change it: CWD, CDUP,
// MKD, RMD, DELE, RNAM, SIZE, SIZT, MDTM and MFMT.
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "accounts/account.h"
#include "base/file_util.h"
#include "base/local_path.h"
#include "base/text_scan.h"
#include "base/time_text.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/virtual_path.h"
#include "platform/fs.h"

namespace {

bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// The refusals a file command starts with, in their order: not logged in,
// a backup-mode command in a normal session, the proxy account, command
// protect. Returns 1 to run, 0 when a refusal was sent, -1 when it could not
// be sent.
struct Gate {
  bool backup_only = false;
  bool proxy_allowed = false;
  uint32_t protect_kind = 0;  // 0: no protect check
};

int Check(WL_ZelFtpSvr* svr, WL_FtpSession& s, const Gate& g, std::string_view arg) {
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n") ? 0 : -1;
  if (g.backup_only && !s.backup_mode) return Refuse(svr, s, "550 must be in backup mode\r\n") ? 0 : -1;
  if (!g.proxy_allowed && s.account_index == WL_FtpAccount::kProxy) {
    return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  }
  if (g.protect_kind != 0) {
    bool ok;
    if (!PassesProtect(svr, s, arg, g.protect_kind, &ok)) return ok ? 0 : -1;
  }
  return 1;
}

#define GATE(...)                                  \
  WL_FtpSession& s = *svr->Session(slot, family);  \
  {                                                \
    const int g = Check(svr, s, Gate{__VA_ARGS__}, arg); \
    if (g <= 0) return g == 0;                     \
  }

// The local path of "/" + name under the backup root.
std::string BackupChild(const WL_FtpSession& s, std::string_view name) {
  std::string root(s.backup_root.view());
  if (!(root.size() == 1 || root.back() == '/')) root += '/';
  return FoldSlashes(root + std::string(name));
}

bool SetCurrent(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view path) {
  std::string p(path);
  while (p.size() > 1 && (p.back() == '/' || IsWhite(p.back()))) p.pop_back();
  if (p.empty()) p.assign(1, '/');
  if (!s.current_path.Assign(p)) return ReplyText(svr, s, "450 directory too long\r\n");
  return Reply(svr, s, "250 \"%s\" is current working directory\r\n", s.current_path.c_str());
}

bool HandleCwd(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, true, 0);
  s.rest_offset = 0;
  std::string a(TrimWhite(arg));
  if (a.empty()) return ReplyMissing(svr, s, "450 bad parameter\r\n");
  if (a.size() > 1 && a.back() == '/') {
    while (a.size() > 1 && (a.back() == '/' || IsWhite(a.back()))) a.pop_back();
  }
  if (a == "/") return SetCurrent(svr, s, "/");
  if (a == "..") return SetCurrent(svr, s, CutOneLevel(s.current_path.view()));
  if (a.rfind("../", 0) == 0 && a.size() > 3) return ReplyMissing(svr, s, "450 bad parameter\r\n");
  if (a.rfind(".//", 0) == 0) return ReplyMissing(svr, s, "450 bad parameter\r\n");
  // ".", "./x", "x/." and "a/b" all become the absolute path they name.
  std::string candidate;
  if (!AbsoluteVirtualPath(s.current_path.view(), a, &candidate)) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
  std::string name, rest;
  const int kind = SplitVirtualPath(candidate, &name, &rest);
  if (kind < 0) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
  if (kind == 0) return SetCurrent(svr, s, "/");
  if (!IsSafeName(name)) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
  std::string local;
  if (kind == 1) {
    if (s.backup_mode) {
      local = BackupChild(s, name);
      if (!IsSafeLocalPath(local)) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
      if (!IsDirectory(local)) return ReplyMissing(svr, s, "450 no such directory\r\n");
      if (name.size() + 1 > kMaxVirtualPath) return ReplyMissing(svr, s, "450 directory too long\r\n");
    } else {
      if (!svr->resources.ResolveResource(name, s.access_level, &local)) {
        return ReplyMissing(svr, s, "450 no such directory\r\n");
      }
      if (name.size() >= kMaxVirtualPath) return ReplyMissing(svr, s, "450 directory too long\r\n");
      if (!IsSafeLocalPath(local)) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
      if (!IsDirectory(local)) return ReplyMissing(svr, s, "450 no such directory\r\n");
    }
    return SetCurrent(svr, s, "/" + name);
  }
  if (s.backup_mode) {
    local = BackupChild(s, name + "/" + rest);
  } else {
    std::string root;
    if (!svr->resources.ResolveResource(name, s.access_level, &root)) {
      return ReplyMissing(svr, s, "450 no such directory\r\n");
    }
    local = FoldSlashes(root + (root.back() == '/' ? "" : "/") + rest);
  }
  if (!IsSafeLocalPath(local)) return ReplyMissing(svr, s, "450 unsafe parameter\r\n");
  if (!IsDirectory(local)) return ReplyMissing(svr, s, "450 no such directory\r\n");
  const std::string path = "/" + name + "/" + rest;
  if (path.size() > kMaxVirtualPath || !IsSafeVirtualPath(path)) {
    return ReplyMissing(svr, s, "450 directory too long or unsafe\r\n");
  }
  return SetCurrent(svr, s, path);
}

bool HandleCdup(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  s.rest_offset = 0;
  s.current_path.Assign(CutOneLevel(s.current_path.view()));
  return Reply(svr, s, "250 \"%s\" is current directory\r\n", s.current_path.c_str());
}

bool HandleMkd(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameter\r\n");
  std::string cwd;
  if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "550 failed to get current work dir\r\n");
  std::string_view dir(arg);
  int64_t when = 0;
  const size_t bar = dir.find('|');
  if (bar != std::string_view::npos) {
    if (bar + 1 >= dir.size()) return ReplyText(svr, s, "550 bad parameter for mkd\r\n");
    uint64_t stamp = 0;
    if (ParseHex64(std::string(dir.substr(0, bar)).c_str(), &stamp)) when = static_cast<int64_t>(stamp);
    dir.remove_prefix(bar + 1);
  }
  std::string local, virt;
  const int form = MkdRmdTarget(s, dir, cwd, &local, &virt);
  if (form < 0 || IsProtectedRoot(svr, s, local)) return ReplyText(svr, s, "550 bad parameter\r\n");
  if (!ExtendSecurityCheck(svr, s, local, static_cast<uint16_t>(4920 + form))) {
    return ReplyText(svr, s, "500 security error\r\n");
  }
  if (!MakeDirectory(local)) return ReplyText(svr, s, "500 command failed\r\n");
  if (when > 0) SetFileTimes(local, 0, when);
  if (s.standard_replies) return Reply(svr, s, "257 \"%s\" created\r\n", virt.c_str());
  return ReplyText(svr, s, "200 command ok\r\n");
}

bool HandleRmd(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameter\r\n");
  std::string cwd;
  if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "550 failed to get current work dir\r\n");
  std::string local;
  const int form = MkdRmdTarget(s, arg, cwd, &local);
  // The backup root and the resource roots are never removed.
  if (form < 0 || IsProtectedRoot(svr, s, local)) return ReplyText(svr, s, "550 bad parameter\r\n");
  if (!ExtendSecurityCheck(svr, s, local, static_cast<uint16_t>(4910 + form))) {
    return ReplyText(svr, s, "500 security error\r\n");
  }
  if (!DeleteTree(local)) return ReplyMissing(svr, s, "500 command failed\r\n");
  return ReplyText(svr, s, "250 command ok\r\n");
}

bool HandleDele(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  std::string local;
  if (!ResolveFilePath(svr, s, arg, &local)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  if (!ExtendSecurityCheck(svr, s, local, 4901)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  if (local.empty() || !IsSafeLocalPath(local)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  if (PathKind(local) != kPathRegular) return ReplyText(svr, s, "550 file not exist\r\n");
  return ReplyText(svr, s, RemoveFile(local) ? "250 success delete file\r\n" : "550 delete failed\r\n");
}

bool HandleRnam(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  std::string_view a(arg);
  const size_t bar = a.find('|');
  if (a.empty() || bar == std::string_view::npos) return ReplyText(svr, s, "550 oldfile|newfile\r\n");
  const std::string_view from = TrimWhite(a.substr(0, bar));
  const std::string_view to = TrimWhite(a.substr(bar + 1));
  if (!IsSafeName(from) || !IsSafeName(to)) return ReplyText(svr, s, "550 oldfile|newfile\r\n");
  std::string cwd;
  if (!CurrentLocalDir(svr, s, &cwd)) return ReplyText(svr, s, "550 failed to get current work dir\r\n");
  // An existing target is never replaced.
  const bool ok = RenameNoReplace(cwd + "/" + std::string(from), cwd + "/" + std::string(to));
  return ReplyText(svr, s, ok ? "200 command ok\r\n" : "550 command failed\r\n");
}

// A time given as seconds since 1970: 1 to 12 decimal digits.
bool StampIsSeconds(std::string_view t) {
  if (t.empty() || t.size() > 12) return false;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// RNFR and RNTO rename as RFC 959 has it, through the checks of the other
// path commands and the rename that never replaces a target.
bool RenamePath(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, uint16_t code, std::string* local) {
  return ResolveFilePath(svr, s, arg, local) && ExtendSecurityCheck(svr, s, *local, code) && !local->empty() &&
         IsSafeLocalPath(*local) && !IsProtectedRoot(svr, s, *local);
}

bool HandleRnfr(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, 0);
  s.rename_from.clear();
  std::string local;
  if (!RenamePath(svr, s, arg, 4931, &local)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  if (PathKind(local) > kPathRegular) return ReplyText(svr, s, "550 file not exist\r\n");
  s.rename_from = local;
  return ReplyText(svr, s, "350 ready for destination name\r\n");
}

bool HandleRnto(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  if (s.rename_from.empty()) return ReplyText(svr, s, "503 send RNFR first\r\n");
  const std::string from = std::move(s.rename_from);
  s.rename_from.clear();
  std::string to;
  if (!RenamePath(svr, s, arg, 4932, &to)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  if (!RenameNoReplace(from, to)) return ReplyText(svr, s, "550 command failed\r\n");
  return ReplyText(svr, s, "250 rename successful\r\n");
}

// SIZE, MDTM and SIZT: the file of the argument, or a refusal already sent.
bool ResolveForQuery(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, std::string* local) {
  return ResolveFilePath(svr, s, arg, local) && !local->empty() && IsSafeLocalPath(*local);
}

bool HandleSize(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  std::string local;
  if (!ResolveForQuery(svr, s, arg, &local)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  uint64_t size;
  if (!RegularFileSize(local, &size)) return ReplyMissing(svr, s, "450 file not exist\r\n");
  return Reply(svr, s, "213 %" PRId64 "\r\n", static_cast<int64_t>(size));
}

bool HandleMdtm(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  std::string local;
  if (!ResolveForQuery(svr, s, arg, &local)) return ReplyMissing(svr, s, "450 bad parameters\r\n");
  uint64_t size;
  int64_t ctime, mtime;
  if (!GetFileTimes(local, &size, &ctime, &mtime)) return ReplyText(svr, s, "550 file not exist\r\n");
  if (s.standard_replies) {
    // RFC 3659: the modification time in UTC as YYYYMMDDHHMMSS.
    char stamp[32];
    WL_UtcTimeToStr().UtcStamp(mtime, stamp, sizeof(stamp));
    return Reply(svr, s, "213 %s\r\n", stamp);
  }
  return Reply(svr, s, "213 %" PRId64 "\r\n", mtime);
}

bool HandleSizt(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  s.rest_offset = 0;
  std::string local;
  if (!ResolveForQuery(svr, s, arg, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  uint64_t size;
  int64_t ctime, mtime;
  if (!GetFileTimes(local, &size, &ctime, &mtime)) return ReplyText(svr, s, "500 file not exist\r\n");
  return Reply(svr, s, "201 %" PRId64 " %" PRId64 " %" PRId64 "\r\n", static_cast<int64_t>(size), ctime, mtime);
}

bool HandleMfmt(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, 0);
  std::string_view a(arg);
  while (!a.empty() && IsWhite(a.front())) a.remove_prefix(1);
  const size_t blank = a.find(' ');
  if (blank == std::string_view::npos) return ReplyText(svr, s, "450 bad parameters\r\n");
  const std::string_view stamp = a.substr(0, blank);
  std::string_view path = a.substr(blank);
  while (!path.empty() && path.front() == ' ') path.remove_prefix(1);
  if (stamp.empty() || path.empty()) return ReplyText(svr, s, "450 bad parameters\r\n");
  int64_t when = 0;
  int f[6] = {};
  if (stamp.size() != 14 && s.standard_replies && StampIsSeconds(stamp)) {
    when = strtoll(std::string(stamp).c_str(), nullptr, 10);
  } else {
    if (ScanStamp(stamp, f) < 6) return ReplyText(svr, s, "450 bad parameters of time\r\n");
    when = StampToSeconds(f);
  }
  std::string local;
  if (!ResolveFilePath(svr, s, path, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (!ExtendSecurityCheck(svr, s, local, 4972)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (local.empty() || !IsSafeLocalPath(local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  const bool ok = PathKind(local) == kPathRegular && SetFileTimes(local, 0, when);
  if (ok && s.standard_replies) {
    char utc[32];
    WL_UtcTimeToStr().UtcStamp(when, utc, sizeof(utc));
    return Reply(svr, s, "213 Modify=%s; %.*s\r\n", utc, static_cast<int>(path.size()), path.data());
  }
  return ReplyText(svr, s, ok ? "213 success reset modify time\r\n" : "550 failed to reset modify time\r\n");
}

}  // namespace

WL_CommandHandler FileHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdCwd:
      return HandleCwd;
    case kCmdCdup:
      return HandleCdup;
    case kCmdMkd:
      return HandleMkd;
    case kCmdRmd:
      return HandleRmd;
    case kCmdDele:
      return HandleDele;
    case kCmdRnam:
      return HandleRnam;
    case kCmdSize:
      return HandleSize;
    case kCmdMdtm:
      return HandleMdtm;
    case kCmdSizt:
      return HandleSizt;
    case kCmdMfmt:
      return HandleMfmt;
    case kCmdRnfr:
      return HandleRnfr;
    case kCmdRnto:
      return HandleRnto;
    default:
      return nullptr;
  }
}
