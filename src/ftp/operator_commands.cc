// Operator commands of the administrator account.
#include <cstdlib>

#include "accounts/account.h"
#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"

namespace {

// The refusals every operator command starts with. Returns 1 when the
// command may run, 0 when a refusal was sent, -1 when it could not be sent.
int AdminGate(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n") ? 0 : -1;
  if (!s.is_admin || s.account_index == WL_FtpAccount::kProxy) {
    return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  }
  return 1;
}

bool HandleTemp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return Reply(svr, s, "200 Temp account status:%d\r\n", svr->temp_account.load() ? 1 : 0);
  const long v = strtol(arg, nullptr, 10);  // a failed read counts as 0
  svr->temp_account.store(v != 0 ? 1 : 0);
  return Reply(svr, s, "200 Temp account status changed to:%d\r\n", svr->temp_account.load());
}

}  // namespace

WL_CommandHandler OperatorHandlerFor(uint32_t code) { return code == kCmdTemp ? HandleTemp : nullptr; }
