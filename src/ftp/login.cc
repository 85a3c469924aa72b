// USER, PASS, PAS6 and PASA: the clear-password and hash logins.
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>

#include "accounts/account.h"
#include "base/text_scan.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/login_hash.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "platform/clock.h"

namespace {


enum LoginMethod : int32_t { kClearPassword = 0, kPassHash = 1, kPas6 = 2, kPasa = 3 };

bool MustTls(const WL_ZelFtpSvr* svr, const WL_FtpSession& s) {
  const int32_t must = s.is_ipv4 ? svr->set.Login_v4musttls : svr->set.Login_v6musttls;
  return must != 0 && !s.ctrl_tls;
}

void LoginFailLine(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* what) {
  if (svr->set.Log_level > 0) FailLog(svr, s, " <Login fail> %s\r\n", what);
}

// A failed password: recorded, counted and reported to the firewall.
void CountFailure(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  svr->RecordPeer(WL_ZelFtpSvr::kRecLoginFail, s);
  svr->firewall.RecordFailure(s.peer_addr, s.is_ipv4 != 0);
  svr->login_fail_count.fetch_add(1, std::memory_order_relaxed);
}

// Sends a refusal that ends the session. Always false.
bool EndWith(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* reply) {
  ReplyText(svr, s, reply);
  return false;
}

// The must-TLS refusal; true when it applied (the session then ends).
bool RefusedForTls(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool log) {
  if (!MustTls(svr, s)) return false;
  if (log) LoginFailLine(svr, s, "need ssl");
  ReplyText(svr, s, "500 must use tls or ssl login\r\n");
  return true;
}

// PAS6 and PASA refuse an empty argument the same way: "already login" for
// a logged-in session, else a logged "empty password". Both end the session.
bool RefuseEmptyHashArgument(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (s.logged_in) return EndWith(svr, s, "500 already login\r\n");
  LoginFailLine(svr, s, "empty password");
  return EndWith(svr, s, "500 empty password found\r\n");
}

// The first account slot whose name matches and whose credential passes
// check(account), or -1.
template <typename Check>
int FindAccount(WL_ZelFtpSvr* svr, const WL_FtpSession& s, Check check) {
  const size_t n = strlen(s.user_name);
  const uint32_t hash = NameHash(s.user_name, n);
  const int bound = svr->accounts.scan_bound();
  for (int slot = 0; slot < bound && slot < WL_FtpAccount::kSlots; ++slot) {
    const WL_AccountRecord& a = svr->accounts.GetAccount(slot);
    if (!a.in_use || (slot == WL_FtpAccount::kTemp && !svr->temp_account.load())) continue;
    if (a.name_hash != hash || a.user_name.size() != n || memcmp(a.user_name.data(), s.user_name, n) != 0) continue;
    if (check(a)) return slot;
  }
  return -1;
}

// The steps every successful login shares. False when the session ends
// (backup mode without a ready backup directory).
bool CompleteLogin(WL_ZelFtpSvr* svr, WL_FtpSession& s, int slot, LoginMethod method) {
  const WL_AccountRecord& a = svr->accounts.GetAccount(slot);
  if (s.backup_mode) {
    if (!a.BackupReady()) {
      LoginFailLine(svr, s, "backup account not ready");
      return EndWith(svr, s, "550 Login failed for backup mode\r\n");
    }
    s.backup_root.Assign(a.backup_dir);
  }
  s.login_method = method;
  s.account_index = static_cast<uint32_t>(slot);
  s.logged_in = 1;
  s.login_done.store(true, std::memory_order_release);
  // The private client logs in with a hash and reads the private replies;
  // a standard client sends the clear password and gets the standard ones.
  const int style = svr->set.Reply_style;
  s.standard_replies = style == 2 || (style == 0 && method == kClearPassword) ? 1 : 0;
  svr->login_count.fetch_add(1, std::memory_order_relaxed);
  s.full_list = method == kPasa ? 0 : 1;
  s.mode_c = 0;
  s.is_admin = slot == WL_FtpAccount::kAdmin ? 1 : 0;
  s.access_level = AccessLevelFor(a, s.peer_local != 0);
  s.random.Advance(1ull + s.slot_index + 221 + (method == kPas6 ? 15 : 0) + (method == kPasa ? 101 : 0));
  {
    std::lock_guard<WL_Lock> g(svr->account_lock);
    WL_AccountRecord& w = svr->accounts.MutableAccount(slot);
    w.last_login_time = NowSeconds();
    w.last_login_ipv6 = s.is_ipv4 ? 0 : 1;
    memcpy(w.last_login_addr, s.peer_addr, 16);
  }
  s.session_key[0] = '\0';
  if (s.use_session_key) {
    const std::string key = SessionKeyHash(SessionKeySecret(a.password), s.session_token, s.session_id);
    memcpy(s.session_key, key.data(), 36);
    s.session_key[36] = '\0';
  }
  svr->firewall.RemoveAddress(s.peer_addr, s.is_ipv4 != 0);
  svr->RecordPeer(s.is_ipv4 ? WL_ZelFtpSvr::kRecLoginV4 : WL_ZelFtpSvr::kRecLoginV6, s);
  return true;
}

bool HandleUser(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (RefusedForTls(svr, s, false)) return false;
  if (s.logged_in) return ReplyText(svr, s, "500 already login\r\n");
  if (*arg == '\0') return EndWith(svr, s, "500 empty user name found\r\n");
  size_t n = strlen(arg);
  s.backup_mode = 0;
  if (n >= 6 && strcasecmp(arg + n - 5, ".BACK") == 0) {
    s.backup_mode = 1;
    n -= 5;
  }
  if (n < 1 || n > 128) return EndWith(svr, s, "500 bad user name found\r\n");
  memcpy(s.user_name, arg, n);
  s.user_name[n] = '\0';
  const WL_Settings& set = svr->set;
  return Reply(svr, s,
               s.backup_mode ? "331 Backup user name ok,need password%c|%x %x %x %" PRIx64 " %d 1 %d %d %" PRIx64 " %x %x\r\n"
                             : "331 User name ok,need password%c|%x %x %x %" PRIx64 " %d 0 %d %d %" PRIx64 " %x %x\r\n",
               ' ', s.session_id, s.slot_index, 0u, static_cast<uint64_t>(0), kProtocolVersion,
               set.Use_accountsha ? 1 : 0, set.Filehash_adminonly ? 102 : 2, s.session_token,
               static_cast<uint32_t>(set.Ftp_shakecode), static_cast<uint32_t>(set.Command_protect));
}

bool HandlePass(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (RefusedForTls(svr, s, true)) return false;
  if (s.logged_in) return ReplyText(svr, s, "500 already login\r\n");
  const size_t n = strlen(arg);
  if (n == 0) {
    LoginFailLine(svr, s, "empty password");
    return EndWith(svr, s, "500 empty password found\r\n");
  }
  if (n > 128) {
    LoginFailLine(svr, s, "pass length error");
    return EndWith(svr, s, "500 bad password found\r\n");
  }
  if (s.user_name[0] == '\0') {
    LoginFailLine(svr, s, "empty user name");
    return EndWith(svr, s, "500 user name is empty\r\n");
  }
  const bool is_hash = n == 64 && arg[0] == '=' && arg[1] == '_';
  // The bad-login log shows what was typed; a clear password (perhaps the
  // right one with a typo, or another account's) is never written down.
  if (is_hash) {
    memcpy(s.typed_password, arg, n + 1);
  } else {
    memcpy(s.typed_password, "*", 2);
  }
  const bool plain_allowed = !svr->set.No_ftpplainpass || s.ctrl_tls;
  const std::string_view typed(arg, n);
  const int match = FindAccount(svr, s, [&](const WL_AccountRecord& a) {
    if (is_hash) return SameSecret(typed, LoginHash256(a.password, s.session_id, s.session_token, s.client_nonce));
    return plain_allowed && SameSecret(typed, a.password);
  });
  if (match < 0) {
    LoginFailLine(svr, s, "bad password");
    CountFailure(svr, s);
    if (!svr->set.Random_failresponse) return EndWith(svr, s, "550 Login failed\r\n");
    return EndWith(svr, s, svr->total_connects.load() % 2 == 0 ? "230 Login OK |4 1\r\n" : "230 Server busy |1 1\r\n");
  }
  if (!CompleteLogin(svr, s, match, is_hash ? kPassHash : kClearPassword)) return false;
  return Reply(svr, s, "230 Login OK |%d %d\r\n", s.access_level, s.is_admin ? 1 : 0);
}

bool HandlePas6(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (RefusedForTls(svr, s, true)) return false;
  const size_t n = strlen(arg);
  if (n == 0) return RefuseEmptyHashArgument(svr, s);
  if (n != 64) {
    LoginFailLine(svr, s, "password length error");
    svr->firewall.RecordFailure(s.peer_addr, s.is_ipv4 != 0);
    return EndWith(svr, s, "500 bad password found\r\n");
  }
  if (s.user_name[0] == '\0') {
    LoginFailLine(svr, s, "empty user name");
    return EndWith(svr, s, "500 user name is empty\r\n");
  }
  memcpy(s.typed_password, arg, n + 1);
  if (arg[0] != '=' || arg[1] != '_') {
    LoginFailLine(svr, s, "bad style of password");
    svr->firewall.RecordFailure(s.peer_addr, s.is_ipv4 != 0);
    return EndWith(svr, s, "550 Login failed\r\n");
  }
  const std::string_view typed(arg, n);
  const int match = FindAccount(svr, s, [&](const WL_AccountRecord& a) {
    return SameSecret(typed, LoginHash256(a.password, s.session_id, s.session_token, s.client_nonce));
  });
  if (match < 0) {
    LoginFailLine(svr, s, "bad password");
    CountFailure(svr, s);
    return EndWith(svr, s, "550 Login failed\r\n");
  }
  if (!CompleteLogin(svr, s, match, kPas6)) return false;
  return Reply(svr, s, "230 Login OK |%d %d\r\n", s.access_level, s.is_admin ? 1 : 0);
}

bool HandlePasa(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (RefusedForTls(svr, s, true)) return false;
  const size_t n = strlen(arg);
  if (n == 0) return RefuseEmptyHashArgument(svr, s);
  if (s.user_name[0] == '\0') {
    LoginFailLine(svr, s, "empty user name");
    return EndWith(svr, s, "500 empty username found\r\n");
  }
  if (n <= 100) {
    LoginFailLine(svr, s, "bad parameters length for login 2");
    return EndWith(svr, s, "550 Login failed for bad parameters\r\n");
  }
  s.full_list = 0;
  s.login_method = kPasa;
  const char* bar = strchr(arg, '|');
  if (bar == nullptr) {
    LoginFailLine(svr, s, "bad style of parameters");
    return EndWith(svr, s, "550 Login failed for bad parameters\r\n");
  }
  const std::string_view hash = TrimWhite(bar + 1);
  if (hash.size() != 128) {
    LoginFailLine(svr, s, "bad password length");
    return EndWith(svr, s, "550 Login failed for bad parameters\r\n");
  }
  if (hash[0] != '+' || hash[1] != '+') {
    LoginFailLine(svr, s, "bad prefix of password");
    return EndWith(svr, s, "550 Login failed\r\n");
  }
  memcpy(s.typed_password, hash.data(), 128);
  s.typed_password[128] = '\0';

  // nonce, two transfer values, econn-token request, session-key request,
  // econn option, option flag, ignored, mode, TLS option.
  const std::string params(arg, static_cast<size_t>(bar - arg));
  int64_t f[10] = {};
  if (ScanFields(params.c_str(), "xxxhddhddd", f) < 8) {
    LoginFailLine(svr, s, "bad style of parameters 2");
    return EndWith(svr, s, "550 Login failed for bad parameters\r\n");
  }
  const uint64_t nonce = static_cast<uint64_t>(f[0]);
  const int match = FindAccount(svr, s, [&](const WL_AccountRecord& a) {
    return SameSecret(hash, LoginHash512(a.password, s.session_id, s.session_token, s.client_nonce));
  });
  if (match < 0) {
    LoginFailLine(svr, s, "bad password");
    CountFailure(svr, s);
    return EndWith(svr, s, "550 Login failed\r\n");
  }
  s.client_nonce = nonce;
  if (f[3] != 0) {
    const std::string token = EconnTokenHash(svr->accounts.GetAccount(match).response_code, s.session_token, nonce);
    memcpy(s.econn_token, token.data(), token.size() + 1);
  }
  if (s.econn_token[0] == '\0') memcpy(s.econn_token, "*", 2);
  s.pasa_values[0] = f[1];
  s.pasa_values[1] = f[2];
  s.use_session_key = f[4] != 0 ? 1 : 0;
  s.response_flag = f[5] != 0 ? 1 : 0;
  s.login_option = f[6] != 0 ? 1 : 0;
  s.mode_option = f[8] == 512 ? 1 : 0;
  const bool want_tls_port = f[9] == 1;
  s.tls_option = want_tls_port ? 1 : 0;
  if (!CompleteLogin(svr, s, match, kPasa)) return false;

  const WL_Settings& set = svr->set;
  const bool v4 = s.is_ipv4 != 0;
  const bool https = want_tls_port && (v4 ? set.Enable_httpsv4 : set.Enable_httpsv6);
  const unsigned http_port = https ? (v4 ? set.Service_sslv4port : set.Service_sslv6port) : (v4 ? set.Http_portv4 : set.Http_portv6);
  return Reply(svr, s, "230 %d %d %x %x %x %d %d %d|%s\r\n", s.access_level, s.is_admin ? 1 : 0,
               static_cast<unsigned>(v4 ? set.Econ_portv4 : set.Econ_portv6), http_port,
               set.Filehash_adminonly ? 101u : 1u, https ? 1 : 0, 1, set.Ftp_jointcrc ? 1 : 0, s.econn_token);
}

}  // namespace

WL_CommandHandler LoginHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdUser:
      return HandleUser;
    case kCmdPass:
      return HandlePass;
    case kCmdPas6:
      return HandlePas6;
    case kCmdPasa:
      return HandlePasa;
    default:
      return nullptr;
  }
}
