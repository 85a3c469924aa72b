// Directory listings (LIST, NLST, MLSD over the data connection; MLST and
// CLST on the control connection) and feature negotiation (FEAT, OPTS).
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <strings.h>

#include "accounts/account.h"
#include "base/file_util.h"
#include "base/local_path.h"
#include "base/multi_string.h"
#include "base/time_text.h"
#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"
#include "ftp/virtual_path.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr int kListKindNlst = 1;
constexpr int kListKindMlsd = 256;
constexpr size_t kMaxListedName = 1000;
constexpr int64_t kListLineTimeout = 65;

bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Names a listing may carry: at most 1000 bytes, no control byte (a line
// feed in a name would end the line early or inject a reply into CLST).
bool Listable(const char* name) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p, ++n) {
    if (*p < 0x20 || *p == 0x7F) return false;
  }
  return n > 0 && n <= kMaxListedName;
}

// Lines gathered into the transfer buffer and sent in large writes; the bytes
// on the wire are those of one send per line.
class LineSink {
 public:
  LineSink(WL_ZelFtpSvr* svr, WL_FtpSession& s) : svr_(svr), s_(s), buf_(s.TransferBuffer()) {}
  bool ok() const { return ok_ && buf_ != nullptr; }
  bool Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!ok()) return false;
    if (kTransferBufferSize - used_ < 4096 && !Flush()) return false;
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(buf_ + used_, 4001, fmt, ap);  // one reply-sized line at most
    va_end(ap);
    if (n < 0) return true;  // a line that cannot be formatted is left out
    used_ += static_cast<size_t>(n);
    return true;
  }
  bool Flush() {
    if (!ok()) return false;
    if (used_ > 0) ok_ = DataSend(svr_, s_, buf_, used_, kListLineTimeout);
    used_ = 0;
    return ok_;
  }

 private:
  WL_ZelFtpSvr* svr_;
  WL_FtpSession& s_;
  char* buf_;
  size_t used_ = 0;
  bool ok_ = true;
};

std::string Mlsd(int64_t t) {
  char b[32];
  WL_UtcTimeToStr().UtcStamp(t, b, sizeof(b));
  return b;
}

bool RootListing(WL_ZelFtpSvr* svr, WL_FtpSession& s, LineSink& out) {
  const std::string start = Mlsd(svr->start_time);
  if (s.full_list) {
    if (s.list_kind == kListKindNlst) return true;
    if (s.list_kind == kListKindMlsd) {
      if (s.current_path.size() <= 1000 &&
          !out.Add("type=pdir;modify=%s; ..\r\ntype=cdir;modify=%s %s\r\n", start.c_str(), start.c_str(),
                   s.current_path.c_str())) {
        return false;
      }
    } else if (!out.Add("%crw-rw-rw- 1 user group %" PRId64 " Feb 01 2008 %s\r\n", 'd', static_cast<int64_t>(0), "..")) {
      return false;
    }
  }
  for (const WL_Resource& r : svr->resources.entries()) {
    if (r.level > s.access_level || !Listable(r.name.c_str())) continue;
    bool ok;
    if (!s.full_list) {
      ok = out.Add("%" PRIx64 " %d %" PRIx64 " |%s\r\n", static_cast<uint64_t>(0), 0, static_cast<uint64_t>(0),
                   r.name.c_str());
    } else if (s.list_kind == kListKindMlsd) {
      ok = out.Add("type=dir;modify=%s; %s\r\n", start.c_str(), r.name.c_str());
    } else {
      ok = out.Add("%crw-rw-rw- 1 user group %" PRId64 " Feb 01 2008 %s\r\n", 'd', static_cast<int64_t>(0),
                   r.name.c_str());
    }
    if (!ok) return false;
  }
  return out.Flush();
}

// Returns 1 done, 0 the enumeration failed, -1 a send failed.
int DirectoryListing(WL_ZelFtpSvr* svr, WL_FtpSession& s, const std::string& dir, LineSink& out) {
  WL_MultiString dirs, files;
  std::vector<uint64_t> sizes;
  std::vector<int64_t> mtimes, dir_mtimes;
  if (!IsSafeLocalDir(dir) ||
      !ListDirectoryMulti(dir, &dirs, &files, &sizes, &mtimes, &dir_mtimes, svr->set.No_syshiddenfile != 0)) {
    return 0;
  }
  size_t i = 0;
  for (const char* name = dirs.Next(); *name != '\0'; name = dirs.Next(), ++i) {
    if (!Listable(name)) continue;
    bool ok = true;
    if (!s.full_list) {
      ok = out.Add("%" PRIx64 " %d %" PRIx64 " |%s\r\n", static_cast<uint64_t>(0), 0,
                   static_cast<uint64_t>(dir_mtimes[i]), name);
    } else if (s.list_kind == kListKindMlsd) {
      ok = out.Add("type=dir;modify=%s; %s\r\n", Mlsd(dir_mtimes[i]).c_str(), name);
    } else if (s.list_kind != kListKindNlst) {
      ok = out.Add("%crw-rw-rw- 1 user group %" PRId64 " Feb 01 2008 %s\r\n", 'd', static_cast<int64_t>(0), name);
    }
    if (!ok) return -1;
  }
  if (s.full_list) {
    bool ok = true;
    if (s.list_kind == kListKindMlsd) {
      ok = out.Add("type=pdir;modify=%s; ..\r\n", Mlsd(NowSeconds()).c_str());
    } else if (s.list_kind != kListKindNlst) {
      ok = out.Add("%crw-rw-rw- 1 user group %" PRId64 " Feb 01 2008 %s\r\n", 'd', static_cast<int64_t>(0), "..");
    }
    if (!ok) return -1;
  }
  i = 0;
  for (const char* name = files.Next(); *name != '\0'; name = files.Next(), ++i) {
    if (!Listable(name)) continue;
    bool ok;
    if (!s.full_list) {
      ok = out.Add("%" PRIx64 " %d %" PRIx64 " |%s\r\n", sizes[i], 1, static_cast<uint64_t>(mtimes[i]), name);
    } else if (s.list_kind == kListKindMlsd) {
      ok = out.Add("type=file;modify=%s;size=%" PRId64 "; %s\r\n", Mlsd(mtimes[i]).c_str(),
                   static_cast<int64_t>(sizes[i]), name);
    } else if (s.list_kind == kListKindNlst) {
      ok = out.Add("%s\r\n", name);
    } else {
      ok = out.Add("%crw-rw-rw- 1 user group %" PRId64 " Feb 01 2008 %s\r\n", '-', static_cast<int64_t>(sizes[i]),
                   name);
    }
    if (!ok) return -1;
  }
  return out.Flush() ? 1 : -1;
}

// Drops an ls-style option from the argument ("-a", "-l", "-la", ...).
std::string_view DropLsOptions(std::string_view a) {
  auto eq = [](std::string_view x, const char* y) { return x.size() == strlen(y) && strncasecmp(x.data(), y, x.size()) == 0; };
  if (eq(a, "-a") || eq(a, "-l") || eq(a, "-s")) return {};
  for (const char* opt : {"-ls", "-la", "-a", "-s"}) {
    const size_t n = strlen(opt);
    if (a.size() >= n && strncasecmp(a.data(), opt, n) == 0 && (a.size() == n || IsWhite(a[n]))) {
      a.remove_prefix(n);
      break;
    }
  }
  while (!a.empty() && IsWhite(a.front())) a.remove_prefix(1);
  return a;
}

// Returns below 0 to end the session, 0 to go on, above 0 after a listing.
int ListWorker(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view arg) {
  // "." and "./" name the current directory; a relative path is joined to
  // it.
  std::string joined;
  if (!AbsoluteVirtualPath(s.current_path.view(), arg, &joined)) return ReplyMissing(svr, s, "426 dir not exist\r\n") ? 0 : -1;
  std::string name, rest;
  const int kind = SplitVirtualPath(joined, &name, &rest);
  if (kind < 0) return ReplyMissing(svr, s, "426 dir not exist\r\n") ? 0 : -1;
  std::string dir;
  bool root = false;
  if (s.backup_mode) {
    dir = std::string(s.backup_root.view());
    if (kind >= 1) dir += "/" + name;
    if (kind == 2) dir += "/" + rest;
    dir = FoldSlashes(dir);
  } else if (kind == 0) {
    root = true;
  } else {
    if (!svr->resources.ResolveResource(name, s.access_level, &dir)) {
      return ReplyMissing(svr, s, "426 dir not exist\r\n") ? 0 : -1;
    }
    if (kind == 2) dir += "/" + rest;
    dir = FoldSlashes(dir);
  }
  if (!root) {
    if (!IsSafeLocalDir(dir)) return ReplyMissing(svr, s, "500 bad pathfile found\r\n") ? 0 : -1;
    if (!IsDirectory(dir)) return ReplyMissing(svr, s, "426 dir not exist\r\n") ? 0 : -1;
  }
  if (!DataReady(s)) return ReplyText(svr, s, "426 bad connect type found\r\n") ? 0 : -1;
  const int mode = s.data_mode;
  if (!Reply(svr, s, "150 start connect and transfer [%d]\r\n", mode)) return -1;
  if (!OpenData(svr, s)) return Reply(svr, s, "426 connect failed[%d]\r\n", mode) ? 0 : -1;
  if (s.data_private && !DataHandshake(svr, s)) return Reply(svr, s, "426 ssl connect failed[%d]\r\n", mode) ? 0 : -1;
  LineSink out(svr, s);
  int result;
  if (root) {
    result = RootListing(svr, s, out) ? 1 : -1;
  } else {
    result = DirectoryListing(svr, s, dir, out);
  }
  if (s.close_flag.load()) return -1;
  if (result <= 0) return ReplyText(svr, s, "426 List failed\r\n") ? 0 : -1;
  const bool mlsd = s.list_kind == kListKindMlsd && s.full_list;
  return ReplyText(svr, s, mlsd ? "226 MLSD completed\r\n" : "226 List done\r\n") ? 1 : -1;
}

bool HandleList(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (s.list_pending > 0) return ReplyText(svr, s, "426 transfer abort\r\n");
  s.skip_data_shutdown = 0;
  std::string_view a(arg);
  if (s.full_list && svr->set.List_compatible) a = DropLsOptions(a);
  while (!a.empty() && IsWhite(a.front())) a.remove_prefix(1);
  if (a.substr(0, 2) == "./") a.remove_prefix(2);
  if (!a.empty() && a.back() == '/') a.remove_suffix(1);  // "/" alone lists the current directory
  if (!a.empty()) {
    if (!IsSafeVirtualPath(a)) return ReplyMissing(svr, s, "426 unsafe parameter\r\n");
    if (a.substr(0, 2) == "..") return ReplyMissing(svr, s, "426 bad parameter\r\n");
  }
  const int r = ListWorker(svr, s, a);
  if (r < 0) return false;
  if (r > 0) s.skip_data_shutdown = 1;
  return true;
}

bool HandleMlst(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  std::string local;
  if (!ResolveFilePath(svr, s, arg, &local) || local.empty() || !IsSafeLocalPath(local)) {
    return ReplyMissing(svr, s, "450 bad item\r\n");
  }
  uint64_t size;
  int kind;
  int64_t mtime;
  if (!GetPathInfo(local, &size, &kind, &mtime) || kind == kKindOther) return ReplyText(svr, s, "550 item not exist\r\n");
  if (kind == kKindDirectory) {
    return Reply(svr, s, "250- Listing\r\n Type=dir;Modify=%" PRId64 "; %s\r\n250 End\r\n", mtime, arg);
  }
  return Reply(svr, s, "250- Listing\r\n Type=file;Size=%" PRId64 ";Modify=%" PRId64 "; %s\r\n250 End\r\n",
               static_cast<int64_t>(size), mtime, arg);
}

bool HandleClst(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  s.CloseDataConnection(false, true);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  const long v = strtol(arg, nullptr, 10);
  const uint64_t limit = (v >= 32 && v <= 999999) ? static_cast<uint64_t>(v) : 0;
  uint64_t count = 0;
  auto room = [&] { return limit == 0 || count < limit; };
  if (s.backup_mode || s.current_path.view() != "/") {
    std::string dir;
    if (!CurrentLocalDir(svr, s, &dir)) return ReplyText(svr, s, "460 unknown error found\r\n");
    if (!IsSafeLocalDir(dir)) return ReplyText(svr, s, "450 bad dir found\r\n");
    WL_MultiString dirs, files;
    std::vector<uint64_t> sizes;
    std::vector<int64_t> mtimes, dir_mtimes;
    if (!ListDirectoryMulti(dir, &dirs, &files, &sizes, &mtimes, &dir_mtimes, svr->set.No_syshiddenfile != 0)) {
      return ReplyText(svr, s, "450 dir not exist or unknown error\r\n");
    }
    size_t i = 0;
    for (const char* name = dirs.Next(); *name != '\0' && room(); name = dirs.Next(), ++i) {
      if (!Listable(name)) continue;
      if (!Reply(svr, s, "200%c%" PRIx64 " %d %" PRIx64 " |%s\r\n", '-', static_cast<uint64_t>(0), 0,
                 static_cast<uint64_t>(dir_mtimes[i]), name)) {
        return false;
      }
      ++count;
    }
    i = 0;
    for (const char* name = files.Next(); *name != '\0' && room(); name = files.Next(), ++i) {
      if (!Listable(name)) continue;
      if (!Reply(svr, s, "200%c%" PRIx64 " %d %" PRIx64 " |%s\r\n", '-', sizes[i], 1,
                 static_cast<uint64_t>(mtimes[i]), name)) {
        return false;
      }
      ++count;
    }
    if (s.close_flag.load()) return false;
    return Reply(svr, s, "200%c%" PRIx64 " %d %" PRIx64 " |%s\r\n", ' ', static_cast<uint64_t>(0), 0,
                 static_cast<uint64_t>(0), "..");
  }
  for (const WL_Resource& r : svr->resources.entries()) {
    if (!room()) break;
    if (r.level > s.access_level || !Listable(r.name.c_str())) continue;
    if (!Reply(svr, s, "200-0 0 %" PRIx64 " |%s\r\n", static_cast<uint64_t>(svr->start_time), r.name.c_str())) {
      return false;
    }
    ++count;
  }
  if (s.close_flag.load()) return false;
  return Reply(svr, s, "200 0 0 %" PRIx64 " |..\r\n", static_cast<uint64_t>(svr->start_time));
}

bool HandleFeat(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const bool v6 = !s.is_ipv4;
  const bool tls = v6 ? svr->set.Service_ipv6tls : svr->set.Service_ipv4tls;
  BoundedStr<512> text;
  text.Append("211-Extensions supported\r\n");
  if (tls) text.Append(" PROT\r\n");
  text.Append(" UTF8\r\n MDTM\r\n MLST size*;modify*;type*;\r\n");
  if (tls && !s.implicit_tls) text.Append(" AUTH\r\n");
  text.Append(" SIZE\r\n CONN\r\n RESP\r\n");
  if (v6) text.Append(" EPSV\r\n EPRT\r\n");
  text.Append(" REST STREAM\r\n MFMT\r\n");
  if (!svr->set.No_cmdextend) text.Append(" CLST\r\n");
  if (v6) text.Append(" MLSD\r\n");
  text.Append("211 End\r\n");
  return ReplyText(svr, s, text.view());
}

bool HandleOpts(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (s.logged_in && s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "450 bad parameters\r\n");
  std::string up(arg);
  for (char& c : up) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (up.find("UTF8") != std::string::npos && up.find("ON") != std::string::npos) {
    return ReplyText(svr, s, "200 UTF8 is ready\r\n");
  }
  if (up.find("MLST") != std::string::npos) return ReplyText(svr, s, "200 MLST OPTS size;modify;type;\r\n");
  return ReplyText(svr, s, "245 unknown command\r\n");
}

}  // namespace

WL_CommandHandler ListHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdList:
    case kCmdNlst:
    case kCmdMlsd:
      return HandleList;
    case kCmdMlst:
      return HandleMlst;
    case kCmdClst:
      return HandleClst;
    case kCmdFeat:
      return HandleFeat;
    case kCmdOpts:
      return HandleOpts;
    default:
      return nullptr;
  }
}
