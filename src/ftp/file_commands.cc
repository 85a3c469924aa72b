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
  if (a.empty()) return ReplyText(svr, s, "450 bad parameter\r\n");
  if (a.size() > 1 && a.back() == '/') {
    while (a.size() > 1 && (a.back() == '/' || IsWhite(a.back()))) a.pop_back();
  }
  if (a == "/") return SetCurrent(svr, s, "/");
  if (a == ".") return SetCurrent(svr, s, s.current_path.view());
  if (a == "..") return SetCurrent(svr, s, CutOneLevel(s.current_path.view()));
  if (a.rfind("../", 0) == 0 && a.size() > 3) return ReplyText(svr, s, "450 bad parameter\r\n");
  if (a.rfind("./", 0) == 0) {
    if (a.size() == 2) return SetCurrent(svr, s, s.current_path.view());
    if (a[2] == '/') return ReplyText(svr, s, "450 bad parameter\r\n");
    a.erase(0, 2);
  }
  std::string candidate;
  if (a[0] == '/') {
    candidate = a;
  } else {
    candidate = std::string(s.current_path.view());
    if (candidate.back() != '/') candidate += '/';
    candidate += a;
  }
  if (!IsSafeVirtualPath(candidate)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
  std::string name, rest;
  const int kind = SplitVirtualPath(candidate, &name, &rest);
  if (kind < 0) return ReplyText(svr, s, "450 unsafe parameter\r\n");
  if (kind == 0) return SetCurrent(svr, s, "/");
  if (!IsSafeName(name)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
  std::string local;
  if (kind == 1) {
    if (s.backup_mode) {
      local = BackupChild(s, name);
      if (!IsSafeLocalPath(local)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
      if (!IsDirectory(local)) return ReplyText(svr, s, "450 no such directory\r\n");
      if (name.size() + 1 > kMaxVirtualPath) return ReplyText(svr, s, "450 directory too long\r\n");
    } else {
      if (!svr->resources.ResolveResource(name, s.access_level, &local)) {
        return ReplyText(svr, s, "450 no such directory\r\n");
      }
      if (name.size() >= kMaxVirtualPath) return ReplyText(svr, s, "450 directory too long\r\n");
      if (!IsSafeLocalPath(local)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
      if (!IsDirectory(local)) return ReplyText(svr, s, "450 no such directory\r\n");
    }
    return SetCurrent(svr, s, "/" + name);
  }
  if (s.backup_mode) {
    local = BackupChild(s, name + "/" + rest);
  } else {
    std::string root;
    if (!svr->resources.ResolveResource(name, s.access_level, &root)) {
      return ReplyText(svr, s, "450 no such directory\r\n");
    }
    local = FoldSlashes(root + (root.back() == '/' ? "" : "/") + rest);
  }
  if (!IsSafeLocalPath(local)) return ReplyText(svr, s, "450 unsafe parameter\r\n");
  if (!IsDirectory(local)) return ReplyText(svr, s, "450 no such directory\r\n");
  const std::string path = "/" + name + "/" + rest;
  if (path.size() > kMaxVirtualPath || !IsSafeVirtualPath(path)) {
    return ReplyText(svr, s, "450 directory too long or unsafe\r\n");
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
  std::string local;
  const int form = MkdRmdTarget(s, dir, cwd, &local);
  if (form < 0 || IsProtectedRoot(svr, s, local)) return ReplyText(svr, s, "550 bad parameter\r\n");
  if (!ExtendSecurityCheck(svr, s, local, static_cast<uint16_t>(4920 + form))) {
    return ReplyText(svr, s, "500 security error\r\n");
  }
  if (!MakeDirectory(local)) return ReplyText(svr, s, "500 command failed\r\n");
  if (when > 0) SetFileTimes(local, 0, when);
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
  if (!DeleteTree(local)) return ReplyText(svr, s, "500 command failed\r\n");
  return ReplyText(svr, s, "250 command ok\r\n");
}

bool HandleDele(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(true, false, kProtectChange);
  std::string local;
  if (!ResolveFilePath(svr, s, arg, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (!ExtendSecurityCheck(svr, s, local, 4901)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (local.empty() || !IsSafeLocalPath(local)) return ReplyText(svr, s, "450 bad parameters\r\n");
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

// SIZE, MDTM and SIZT: the file of the argument, or a refusal already sent.
bool ResolveForQuery(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, std::string* local) {
  return ResolveFilePath(svr, s, arg, local) && !local->empty() && IsSafeLocalPath(*local);
}

bool HandleSize(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  std::string local;
  if (!ResolveForQuery(svr, s, arg, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  uint64_t size;
  if (!RegularFileSize(local, &size)) return ReplyText(svr, s, "450 file not exist\r\n");
  return Reply(svr, s, "213 %" PRId64 "\r\n", static_cast<int64_t>(size));
}

bool HandleMdtm(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  GATE(false, false, 0);
  std::string local;
  if (!ResolveForQuery(svr, s, arg, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  uint64_t size;
  int64_t ctime, mtime;
  if (!GetFileTimes(local, &size, &ctime, &mtime)) return ReplyText(svr, s, "550 file not exist\r\n");
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
  int f[6] = {};
  if (ScanStamp(stamp, f) < 6) return ReplyText(svr, s, "450 bad parameters of time\r\n");
  const int64_t when = StampToSeconds(f);
  std::string local;
  if (!ResolveFilePath(svr, s, path, &local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (!ExtendSecurityCheck(svr, s, local, 4972)) return ReplyText(svr, s, "450 bad parameters\r\n");
  if (local.empty() || !IsSafeLocalPath(local)) return ReplyText(svr, s, "450 bad parameters\r\n");
  const bool ok = PathKind(local) == kPathRegular && SetFileTimes(local, 0, when);
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
    default:
      return nullptr;
  }
}
