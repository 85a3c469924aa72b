// Operator commands of the administrator account: the temporary-account
// switch, the host power request, the account and address lists, the
// firewall reset, and the status verbs that point to DUMP.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "accounts/account.h"
#include "base/format.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "core/server.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"

namespace {

// Every list reply is built in a text of this room.
constexpr size_t kListRoom = 2000;

bool HandleTemp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return Reply(svr, s, "200 Temp account status:%d\r\n", svr->temp_account.load() ? 1 : 0);
  const long v = strtol(arg, nullptr, 10);  // a failed read counts as 0
  svr->temp_account.store(v != 0 ? 1 : 0);
  return Reply(svr, s, "200 Temp account status changed to:%d\r\n", svr->temp_account.load());
}

// SHUT [anything]: with an argument the host reboots, without one it powers
// off. The reply does not tell whether the host took the request.
bool HandleShut(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  bool ok = true;
  if (!PassesProtect(svr, s, arg, kProtectPower, &ok)) return ok;
  if (svr->power_request == nullptr || svr->service_object == nullptr) {
    return ReplyText(svr, s, "500 no system call found\r\n");
  }
  const int32_t mode = *arg != '\0' ? 1 : 2;
  svr->requested_power_mode.store(mode);
  // The request is taken before the reply goes out, so of two quick SHUTs
  // the one answered first is the one that runs; the power thread waits a
  // moment before it stops the server, which lets this reply leave.
  svr->power_request(mode == 1, svr->service_object);
  return ReplyText(svr, s, "200 system command ok\r\n");
}

// CIPW: forgets every address of the FTP and the HTTP firewall.
bool HandleCipw(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  svr->firewall.ClearAll();
  svr->web.firewall.ClearAll();
  return ReplyText(svr, s, "200 firewall clean\r\n");
}

// VFUL: every account in use with its last login.
bool HandleVful(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  char text[kListRoom];
  size_t len = 0;
  text[0] = '\0';
  for (int i = 0; i < WL_FtpAccount::kSlots; ++i) {
    const WL_AccountRecord& a = svr->accounts.GetAccount(i);
    if (!a.in_use) continue;
    // Login writes the last-login fields under the account lock.
    int64_t last;
    char when[64];
    char where[48];
    {
      std::lock_guard<WL_Lock> hold(svr->account_lock);
      last = a.last_login_time;
      if (last >= 1) {
        FormatClockDate(last, when, sizeof(when));
        AddressKeyText(a.last_login_addr, a.last_login_ipv6 != 0, where, sizeof(where));
      }
    }
    int n;
    if (last < 1) {
      n = FormatText(text + len, 1950 - len, "200-Account_%s[%s] --\r\n", a.role_name.c_str(), a.user_name.c_str());
    } else {
      n = FormatText(text + len, 1950 - len, "200-Account_%s[%s] time:%s ip:%s backup:%s level:%d\r\n",
                     a.role_name.c_str(), a.user_name.c_str(), when, where, a.BackupReady() ? "Yes" : "No",
                     a.local_level);
    }
    if (n < 0) break;
    len += static_cast<size_t>(n);
    if (len >= 1850 - len) break;
  }
  const int n = FormatText(text + len, kListRoom - len, "200 ftp account list\r\n");
  if (n < 0) {
    s.close_flag.store(true);
    return false;
  }
  len += static_cast<size_t>(n);
  return ReplyText(svr, s, std::string_view(text, len));
}

// One record-list command: one or two lists and the closing line.
struct ListPlan {
  WL_NetRecord* first;
  WL_NetRecord* second;  // nullptr for a one-list command
  bool ftp_label;
  const char* closing;
};

ListPlan PlanFor(WL_ZelFtpSvr* svr, uint32_t code) {
  switch (code) {
    case kCmdVfcl:
      return {&svr->records[WL_ZelFtpSvr::kRecConnV4], &svr->records[WL_ZelFtpSvr::kRecConnV6], true,
              "200 ftp connect list\r\n"};
    case kCmdVfls:
      return {&svr->records[WL_ZelFtpSvr::kRecLoginV4], &svr->records[WL_ZelFtpSvr::kRecLoginV6], true,
              "200 ftp login user list\r\n"};
    case kCmdVhls:
      return {&svr->web.connect_v4, &svr->web.connect_v6, false, "200 http connect list\r\n"};
    case kCmdVbls:
      return {&svr->records[WL_ZelFtpSvr::kRecLoginFail], nullptr, true, "200 ftp login fail list\r\n"};
    case kCmdFdls:
      return {&svr->records[WL_ZelFtpSvr::kRecDownload], nullptr, true, "200 ftp download list\r\n"};
    case kCmdFuls:
      return {&svr->records[WL_ZelFtpSvr::kRecUpload], nullptr, true, "200 ftp upload list\r\n"};
    default:  // WLLS, WNLS
      return {&svr->web.visitors, nullptr, false, "200 http normal user list\r\n"};
  }
}

bool HandleRecordList(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  const ListPlan plan = PlanFor(svr, s.command_code);
  char text[kListRoom];
  text[0] = '\0';
  size_t len;
  if (plan.second != nullptr) {
    len = static_cast<size_t>(plan.first->DumpText(text, 1000, plan.ftp_label));
    len += static_cast<size_t>(plan.second->DumpText(text + len, 1950 - len, plan.ftp_label));
  } else {
    len = static_cast<size_t>(plan.first->DumpText(text, 1900, plan.ftp_label));
  }
  const int n = FormatText(text + len, kListRoom - len, "%s", plan.closing);
  if (n < 0) {
    s.close_flag.store(true);
    return false;
  }
  len += static_cast<size_t>(n);
  return ReplyText(svr, s, std::string_view(text, len));
}

// FSLS, HSLS, HINF: anyone may ask, the answer points to DUMP.
bool HandleHinf(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  return ReplyText(svr, s, "550  please use dump command\r\n");
}

}  // namespace

WL_CommandHandler OperatorHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdTemp:
      return HandleTemp;
    case kCmdShut:
      return HandleShut;
    case kCmdCipw:
      return HandleCipw;
    case kCmdVful:
      return HandleVful;
    case kCmdVfcl:
    case kCmdVfls:
    case kCmdVhls:
    case kCmdVbls:
    case kCmdWlls:
    case kCmdWnls:
    case kCmdFdls:
    case kCmdFuls:
      return HandleRecordList;
    case kCmdFsls:
    case kCmdHsls:
    case kCmdHinf:
      return HandleHinf;
    default:
      return nullptr;
  }
}
