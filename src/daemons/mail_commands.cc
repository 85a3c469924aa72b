// NMAL: an administrator asks for the IPv6 address mail again.
#include "accounts/account.h"
#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"

namespace {

// The next minute tick sends the address mail even when the address did
// not change. The reply does not tell whether the mail is configured.
bool HandleNmal(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n");
  if (!s.is_admin || s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n");
  svr->mail.resend.store(1);
  return ReplyText(svr, s, "200 resend dns mail\r\n");
}

}  // namespace

WL_CommandHandler MailHandlerFor(uint32_t code) { return code == kCmdNmal ? HandleNmal : nullptr; }
