// AUTH, PBSZ and PROT: explicit TLS on the control connection and the
// protection of data connections.
#include <cctype>
#include <cstdlib>

#include "accounts/account.h"
#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"

namespace {

bool TlsForFamily(const WL_ZelFtpSvr* svr, const WL_FtpSession& s) {
  return (s.is_ipv4 ? svr->set.Service_ipv4tls : svr->set.Service_ipv6tls) != 0;
}

bool HandleAuth(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (s.logged_in) return ReplyText(svr, s, "500 must use before login\r\n");
  if (s.ctrl_tls) return ReplyText(svr, s, "500 already in tls or ssl connect\r\n");
  if (!TlsForFamily(svr, s)) return ReplyText(svr, s, "550 unknown command\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameters\r\n");
  if (!ReplyText(svr, s, "234 AUTH command OK, initializing SSL connection\r\n")) return false;
  s.ctrl_tls = 1;
  // Bytes the client sent in clear after AUTH were dropped by the loop.
  return ControlHandshake(svr, s);
}

bool HandlePbsz(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!s.ctrl_tls) return ReplyText(svr, s, "550 unkown command\r\n");
  char* end = nullptr;
  const long v = strtol(arg, &end, 10);
  if (end != arg && v == 0) return ReplyText(svr, s, "200 PBSZ=0\r\n");
  return ReplyText(svr, s, "450 parameter must be zero\r\n");
}

bool HandleProt(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!s.ctrl_tls) return ReplyText(svr, s, "550 need tls or ssl connect\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "450 bad parameters\r\n");
  switch (toupper(static_cast<unsigned char>(*arg))) {
    case 'P':
    case 'S':
    case 'E':
      s.data_private = 1;
      return ReplyText(svr, s, "200 data protection level set to \"private\"\r\n");
    case 'C':
      s.data_private = 0;
      return ReplyText(svr, s, "200 data protection level set to \"clear\"\r\n");
    default:
      return ReplyText(svr, s, "450 bad parameter\r\n");
  }
}

}  // namespace

WL_CommandHandler TlsHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdAuth:
      return HandleAuth;
    case kCmdPbsz:
      return HandlePbsz;
    case 13:
      return HandleProt;
    default:
      return nullptr;
  }
}
