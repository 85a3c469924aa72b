// ABBS, GBBS and DBBS: post to, read and empty the bulletin board.
#include <string_view>

#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"

namespace {


bool BoardActive(const WL_ZelFtpSvr* svr) { return svr->set.Bbs_enable != 0 && svr->bbs.ready(); }

bool HandleAbbs(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!BoardActive(svr)) return ReplyText(svr, s, "500 bbs not active\r\n");
  const std::string_view text(arg);
  if (text.empty()) return ReplyText(svr, s, "500 bad parameter\r\n");
  const bool stored = svr->bbs.Post(s.is_admin != 0, text);
  return Reply(svr, s, "200 command %s\r\n", stored ? "ok" : "fail");
}

bool HandleGbbs(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!BoardActive(svr)) return ReplyText(svr, s, "500 bbs not active\r\n");
  char text[WL_BBSBoard::kTextRoom];
  const int n = svr->bbs.BoardText(text, sizeof(text));
  if (n <= 0) return ReplyText(svr, s, "200 unknwon error\r\n");
  return ReplyText(svr, s, std::string_view(text, static_cast<size_t>(n)));
}

bool HandleDbbs(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!s.is_admin) return Refuse(svr, s, "550 unknown command\r\n");
  if (!BoardActive(svr)) return ReplyText(svr, s, "500 bbs not active\r\n");
  svr->bbs.Clear();
  return ReplyText(svr, s, "200 command done\r\n");
}

}  // namespace

WL_CommandHandler BbsHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdGbbs:
      return HandleGbbs;
    case kCmdAbbs:
      return HandleAbbs;
    case kCmdDbbs:
      return HandleDbbs;
    default:
      return nullptr;
  }
}
