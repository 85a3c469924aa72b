// Dispatch of one parsed command line, and the commands the session loop
// answers itself.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "accounts/account.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "platform/clock.h"

namespace {

constexpr const char kAboutText[] = "Zelfo file server 4.30 for Linux";

int LocalLevelOf(WL_ZelFtpSvr* svr, uint32_t account) {
  return svr->accounts.GetAccount(static_cast<int>(account)).local_level;
}

// Drops any data connection the session holds, the econn service's wait
// entry for the slot included, after a transfer-like command.
void DropData(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool skip_shutdown) {
  svr->econn.RemoveWaitSession(s.is_ipv4 != 0, s.slot_index);
  s.CloseDataConnection(skip_shutdown, true);
}

bool RunInline(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, bool* handled);

bool RunHandler(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, int* pending) {
  const uint32_t code = s.command_code;
  uint32_t route = code;
  if (code == kCmdRetr && strchr(arg, '*') != nullptr) route = kCmdRetm;
  if (code == kCmdStor && strchr(arg, '*') != nullptr) route = kCmdStom;
  if (code == kCmdStou) route = kCmdStor;
  WL_CommandHandler h = HandlerFor(route);

  // STOU names its file before the upload runs; the argument stays the
  // client's own text (command protection signs it).
  if (code == kCmdStou) {
    const uint64_t first = s.Draw();
    const uint64_t second = s.Draw();
    FormatText(s.stou_name, sizeof(s.stou_name), "Unique__X%" PRIx64 "_%" PRIx64 "___%d_%u.utmp", second, first,
               s.slot_index, GetTickCount());
  }

  if (h == nullptr) return ReplyText(svr, s, "550  unknown command\r\n");

  switch (code) {
    case kCmdAuth:
      // Bytes sent in clear behind AUTH are never read as commands.
      *pending = 0;
      break;
    case kCmdCwd:
      DropData(svr, s, false);
      break;
    case kCmdList:
    case kCmdNlst:
    case kCmdMlsd:
      s.list_kind = code == kCmdList ? 0 : (code == kCmdNlst ? 1 : 256);
      s.list_pending = *pending;
      break;
    case kCmdClst:
      if (*pending > 0 && !ReplyText(svr, s, "426 aborted by multi command\r\n")) return false;
      break;
    case kCmdCget:
    case kCmdCput:
      if (*pending > 0 && !ReplyText(svr, s, "550 not zero \r\n")) return false;
      DropData(svr, s, false);
      break;
    default:
      break;
  }

  const bool ok = h(svr, s.slot_index, family, arg);
  switch (code) {
    case kCmdRetr:
    case kCmdList:
    case kCmdNlst:
    case kCmdMlsd:
    case kCmdAppe:
    case kCmdStor:
    case kCmdStou:
    case kCmdStom:
    case kCmdRetm:
      if (ok) DropData(svr, s, s.skip_data_shutdown != 0);
      break;
    case kCmdF256:
      DropData(svr, s, false);
      break;
    default:
      break;
  }
  if (!ok) s.close_flag.store(true);
  return ok;
}

bool RunInline(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, bool* handled) {
  *handled = true;
  const WL_Settings& set = svr->set;
  int gate;
  switch (s.command_code) {
    case kCmdCkup:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      return Reply(svr, s, "200 access level:%d %d 0 0 %d\r\n", LocalLevelOf(svr, s.account_index),
                   s.backup_mode ? 1 : 0, s.is_admin ? 1 : 0);
    case kCmdMode:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      return ReplyText(svr, s, "200 command ok\r\n");
    case kCmdAbor:
      if (!ReplyText(svr, s, "226 Command OK\r\n")) return false;
      s.CloseDataConnection(false, true);
      return true;
    case kCmdNoop:
      return ReplyText(svr, s, "200 Command OK\r\n");
    case kCmdQuit:
      ReplyText(svr, s, "200 Command OK\r\n");
      s.close_flag.store(true);
      return false;
    case kCmdType:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      if (*arg == '\0') return ReplyText(svr, s, "200 no parameter , set to I\r\n");
      if (*arg == 'I' || *arg == 'i') return ReplyText(svr, s, "200 type set to I\r\n");
      return ReplyText(svr, s, "200 type must be I\r\n");
    case kCmdPwd:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      return Reply(svr, s, "257 \"%s\" is current path\r\n", s.current_path.c_str());
    case kCmdMkey: {
      bool sent;
      if (!s.logged_in) {
        uint64_t nonce;
        if (ParseHex64(arg, &nonce) && nonce != 0) s.client_nonce = nonce;
        const int32_t must_tls = family == WL_ZelFtpSvr::kFamilyV4 ? set.Login_v4musttls : set.Login_v6musttls;
        sent = Reply(svr, s, "%d %x %" PRIx64 " %x %d %" PRIx64 " %" PRIx64 " |%d\r\n", must_tls ? 221 : 220,
                     s.session_id, static_cast<uint64_t>(s.start_time), s.slot_index, set.Use_accountsha ? 1 : 0,
                     s.session_token, static_cast<uint64_t>(set.Ftp_shakecode), kProtocolVersion);
      } else {
        sent = Refuse(svr, s, "550 unkonwn command\r\n");
      }
      DropData(svr, s, s.skip_data_shutdown != 0);
      return sent;
    }
    case kCmdSyst:
      return ReplyText(svr, s, "200 UNIX Type:L8\r\n");
    case kCmdAccs:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      return Reply(svr, s, "200 access level |%d %d\r\n", s.access_level, s.backup_mode ? 1 : 0);
    case kCmdSlst:
      if ((gate = LoginGate(svr, s)) <= 0) return gate == 0;
      s.full_list = *arg == '\0' ? 0 : (ParseIntOrZero(arg) >= 1 ? 1 : 0);
      return Reply(svr, s, "201 Simple list mode is %s\r\n", s.full_list ? "off" : "on");
    case kCmdShak: {
      if (s.logged_in) return Refuse(svr, s, "550 use before login\r\n");
      uint64_t nonce;
      if (*arg != '\0' && ParseHex64(arg, &nonce)) s.client_nonce = nonce;
      return Reply(svr, s, "200 %" PRId64 " %d\r\n", set.Ftp_shakecode, set.Use_accountsha ? 1 : 0);
    }
    case kCmdVers:
      return Reply(svr, s, "200 %d %d %u %u\r\n", kProtocolVersion, 1, svr->econn.PortFor(s.is_ipv4 != 0), 1172u);
    case kCmdCchk:
      if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
      return ReplyText(svr, s, "500 old command , please update your client program\r\n");
    case kCmdXsec: {
      s.random.Advance(2ull * s.slot_index + 4);
      const uint64_t a = s.Draw();
      const uint64_t b = s.Draw();
      return Reply(svr, s, "200 %" PRIx64 " %" PRIx64 "\r\n", b, a);
    }
    case kCmdAbou:
      return Reply(svr, s, "200 %s\r\n", kAboutText);
    case kCodeUnknownVerb:
      ++s.failed_commands;
      return ReplyText(svr, s, "550 unkown command\r\n");
    case kCodeBadVerbLength:
      ++s.failed_commands;
      return ReplyText(svr, s, "550 fatal error of command attack\r\n");
    default:
      *handled = false;
      return true;
  }
}

}  // namespace

bool DispatchCommand(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family, const char* arg, int* pending) {
  bool handled;
  bool keep = RunInline(svr, s, family, arg, &handled);
  if (!handled) keep = RunHandler(svr, s, family, arg, pending);
  if (!keep) s.close_flag.store(true);
  return keep;
}
