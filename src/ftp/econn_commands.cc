// RESP and RSPC: the econn commands of any logged-in account but Proxy.
//
// RESP switches the handshake reply that the econn service sends on a data
// connection made for this session (the option CONN and CONS hand to the
// service); RSPC answers the econn token for the account's response code.
#include <cstdint>
#include <string>

#include "accounts/account.h"
#include "base/text_scan.h"
#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/login_hash.h"
#include "ftp/session.h"
#include "ftp/session_io.h"

namespace {

constexpr size_t kTokenChars = 50;

bool HandleResp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  int64_t v = 0;
  if (*arg == '\0' || !ScanDecimal(arg, &v)) return ReplyText(svr, s, "500 bad parameter\r\n");
  // 0 asks for the reply line; any other number switches it off.
  s.response_flag = v == 0 ? 1 : 0;
  return Reply(svr, s, "200 reponse:%s\r\n", s.response_flag ? "ON" : "OFF");
}

bool HandleRspc(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  const std::string& code = svr->accounts.GetAccount(static_cast<int>(s.account_index)).response_code;
  if (code.empty()) return ReplyText(svr, s, "550 empty response code\r\n");
  uint64_t n = 0;
  if (*arg == '\0' || !ParseHex64(arg, &n)) return ReplyText(svr, s, "500 bad parameter\r\n");
  std::string token = EconnTokenHash(code, s.session_token, n);
  if (token.size() > kTokenChars) token.resize(kTokenChars);
  return Reply(svr, s, "200 %s\r\n", token.c_str());
}

}  // namespace

WL_CommandHandler EconnHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdResp:
      return HandleResp;
    case kCmdRspc:
      return HandleRspc;
    default:
      return nullptr;
  }
}
