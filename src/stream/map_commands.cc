// The FTP commands around the file map: publishing a file for the HTTP
// stream service (MAPF, MAPS, LMPF), releasing maps (RMAP, UMAP), the
// first long map (GLMP), the host's IPv6 address (GIP6), the test stream
// (SNMF) and the HTTP port of the session's family (HTTP, ROOT).
#include <cinttypes>
#include <cstring>
#include <string>

#include "base/fixed_texts.h"
#include "base/format.h"
#include "base/local_path.h"
#include "base/net_text.h"
#include "base/text_scan.h"
#include "core/server.h"
#include "ftp/command_protect.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/virtual_path.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

enum : uint16_t {
  kSecMapDisabled = 2001,
  kSecMapProtect = 2002,
  kSecMapBadPath = 2003,
  kSecMapFailed = 2004,
};

WL_FtpSession& SessionOf(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family) { return *svr->Session(slot, family); }

// The argument's local path for a map: resolved, admitted by the extend
// security, safe and non-empty. Returns 1 to go on, 0 when the refusal was
// sent, -1 when it could not be.
int AdmitMapPath(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, std::string* local) {
  if (!ResolveFilePath(svr, s, arg, local) || !ExtendSecurityCheck(svr, s, *local, kSecMapBadPath) ||
      !IsSafeLocalPath(*local) || local->empty()) {
    s.security_code = kSecMapBadPath;
    return ReplyText(svr, s, "550 bad parameters found\r\n") ? 0 : -1;
  }
  return 1;
}

// The signature check of a map command. Returns 1 to go on, 0 when the
// refusal was sent, -1 when it could not be.
int MapProtect(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg) {
  bool sent = true;
  if (PassesProtect(svr, s, arg, kProtectMap, &sent)) return 1;
  s.security_code = kSecMapProtect;
  return sent ? 0 : -1;
}

// The reply to a successful map, with the subtitle URL when there is one.
bool ReplyMapped(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint64_t dir64, uint64_t unicode, uint64_t hash,
                 const std::string& ext, const std::string& subtitle_ext) {
  const std::string url = MappedUrl(dir64, unicode, hash, ext);
  if (subtitle_ext.empty()) return Reply(svr, s, "200 %s\r\n", url.c_str());
  const std::string sub = MappedUrl(dir64, unicode, hash, subtitle_ext);
  return Reply(svr, s, "200 %s|%s\r\n", url.c_str(), sub.c_str());
}

// MAPF and MAPS: a normal map for the session's own address.
bool MapForClient(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, bool with_subtitle) {
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (svr->set.No_internetmap && !s.peer_local) {
    s.security_code = kSecMapDisabled;
    return ReplyText(svr, s, "550 bad parameters or disabled\r\n");
  }
  if (*arg == '\0') return ReplyText(svr, s, "550 bad parameters\r\n");
  int step = MapProtect(svr, s, arg);
  if (step <= 0) return step == 0;
  std::string local;
  step = AdmitMapPath(svr, s, arg, &local);
  if (step <= 0) return step == 0;

  // The previous map goes away once nobody plays it any more.
  if (svr->set.Ftp_autoremovelastmap && s.last_map_slot >= 0 && s.last_map_dir64 != 0) {
    svr->filemap.MarkItem(s.last_map_slot, s.last_map_dir64, s.last_map_unicode, s.last_map_hash);
  }
  s.last_map_slot = -1;
  s.last_map_dir64 = 0;

  uint64_t dir64 = 0, unicode = 0, hash = 0;
  std::string ext, subtitle_ext;
  const int r = svr->filemap.AddItem(local, s.is_ipv4 != 0, s.tls_option != 0, false, s.peer_addr, &dir64, &unicode,
                                     &hash, &ext, with_subtitle, &subtitle_ext);
  if (r < 0) {
    s.security_code = kSecMapFailed;
    return Reply(svr, s, "450 failed to map file %d\r\n", r);
  }
  svr->web.firewall.RemoveAddress(s.peer_addr, s.is_ipv4 != 0);
  s.last_map_slot = r;
  s.last_map_dir64 = dir64;
  s.last_map_unicode = unicode;
  s.last_map_hash = hash;
  return ReplyMapped(svr, s, dir64, unicode, hash, ext, subtitle_ext);
}

bool HandleMapf(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  return MapForClient(svr, SessionOf(svr, slot, family), arg, false);
}

bool HandleMaps(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  return MapForClient(svr, SessionOf(svr, slot, family), arg, true);
}

bool ShareAllowed(WL_ZelFtpSvr* svr, const WL_FtpSession& s) {
  return s.is_admin || svr->accounts.GetAccount(static_cast<int>(s.account_index)).share_allowed;
}

bool HandleLmpf(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!ShareAllowed(svr, s)) return ReplyText(svr, s, "550 access denied\r\n");
  svr->RecordPeer(WL_ZelFtpSvr::kRecLongMap, s);
  if (svr->set.No_internetmap && !s.peer_local) {
    s.security_code = kSecMapDisabled;
    return ReplyText(svr, s, "550 bad parameters or disabled\r\n");
  }
  int step = MapProtect(svr, s, arg);
  if (step <= 0) return step == 0;
  std::string local;
  step = AdmitMapPath(svr, s, arg, &local);
  if (step <= 0) return step == 0;
  uint64_t dir64 = 0, unicode = 0, hash = 0;
  std::string ext;
  const int r = svr->filemap.AddItem(local, s.is_ipv4 != 0, s.tls_option != 0, true, s.peer_addr, &dir64, &unicode,
                                     &hash, &ext);
  if (r < 0) {
    s.security_code = kSecMapFailed;
    return Reply(svr, s, "450 failed to map file %d\r\n", r);
  }
  svr->web.firewall.RemoveAddress(s.peer_addr, s.is_ipv4 != 0);
  return ReplyMapped(svr, s, dir64, unicode, hash, ext, "");
}

bool HandleUmap(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return ReplyText(svr, s, "450 bad parameters\r\n");
  if (!ShareAllowed(svr, s)) return ReplyText(svr, s, "550 limited by account\r\n");
  if (strchr(arg, '*') != nullptr) {
    if (!s.is_admin) return ReplyText(svr, s, "550 need administrator account\r\n");
    return Reply(svr, s, "200 command ok [%d]\r\n", svr->filemap.RemoveAllLong());
  }
  std::string local;
  if (!IsSafeVirtualPath(arg) || !ResolveFilePath(svr, s, arg, &local) || local.empty()) {
    return ReplyText(svr, s, "550 bad path file\r\n");
  }
  return Reply(svr, s, "200 command ok [%d]\r\n", svr->filemap.RemoveLongByPath(local) ? 1 : 0);
}

bool HandleRmap(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return ReplyText(svr, s, "450 bad parameters\r\n");
  return Reply(svr, s, "200 remove map file %d\r\n", svr->filemap.MarkByUrl(arg));
}

bool HandleGlmp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (svr->set.No_internetmap) return ReplyText(svr, s, "550 no internet map\r\n");
  const std::string url = svr->filemap.FirstLongUrl();
  if (url.empty()) return ReplyText(svr, s, "450 no long time map found\r\n");
  return Reply(svr, s, "200 %s\r\n", url.c_str());
}

bool HandleGip6(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!svr->set.Service_enablev6) return ReplyText(svr, s, "550 ipv6 was disabled\r\n");
  char text[64];
  if (svr->set.Gip6_all) {
    uint8_t addrs[16][16];
    const int n = ListLocalIpv6(addrs, nullptr, nullptr);
    BoundedStr<16 * 48 + 16> reply;
    for (int i = 0; i < n; ++i) {
      if (Ipv6ToText(addrs[i], text, sizeof(text)) < 0 || !reply.AppendFormat("200-%s\r\n", text)) break;
    }
    reply.Append("200 .\r\n");
    return ReplyText(svr, s, reply.view());
  }
  // The address the host would use towards the Internet: connecting a
  // datagram socket makes the routing choose it; no packet is sent.
  static const uint8_t kZero[16] = {};
  uint8_t local[16] = {};
  const uint16_t port = static_cast<uint16_t>(GetTickCount() % 10000 + 50000);
  if (!ProbeSourceIpv6(kProbeAddr, port, local) || memcmp(local, kZero, 16) == 0 ||
      Ipv6ToText(local, text, sizeof(text)) < 0) {
    return ReplyText(svr, s, "450 failed to get local ipv6 address\r\n");
  }
  return Reply(svr, s, "200 %s\r\n", text);
}

bool HandleSnmf(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  const uint64_t unicode = s.Draw();
  const uint64_t hash = s.Draw();
  svr->web.test_stream.Arm(s.is_ipv4 != 0, s.peer_addr, unicode, hash, NowSeconds());
  return Reply(svr, s, "200 1/fx_%" PRIx64 "_%" PRIx64 ".%s\r\n", unicode, hash, WL_TestStream::kExtension);
}

// HTTP and ROOT: the HTTP stream port of the session's family.
bool HandleHttp(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = SessionOf(svr, slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  // "%d" reads a number when the argument starts with one (after blanks,
  // with an optional sign).
  int64_t n = 0;
  if (ScanDecimal(arg, &n)) s.use_session_key = (n > 0 && s.session_key[0] != '\0') ? 1 : 0;
  const WL_Settings& set = svr->set;
  const bool v4 = s.is_ipv4 != 0;
  const bool https = s.tls_option != 0 && (v4 ? set.Enable_httpsv4 : set.Enable_httpsv6);
  const unsigned port =
      https ? (v4 ? set.Service_sslv4port : set.Service_sslv6port) : (v4 ? set.Http_portv4 : set.Http_portv6);
  const unsigned econn_port = svr->econn.PortFor(v4);
  return Reply(svr, s, "%d %u %d 0 %u 0 501\r\n", https ? 211 : 200, port, https ? 1 : 0, econn_port);
}

}  // namespace

WL_CommandHandler MapHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdMapf:
      return HandleMapf;
    case kCmdMaps:
      return HandleMaps;
    case kCmdLmpf:
      return HandleLmpf;
    case kCmdUmap:
      return HandleUmap;
    case kCmdRmap:
      return HandleRmap;
    case kCmdGlmp:
      return HandleGlmp;
    case kCmdGip6:
      return HandleGip6;
    case kCmdSnmf:
      return HandleSnmf;
    case kCmdHttp:
    case kCmdRoot:
      return HandleHttp;
    default:
      return nullptr;
  }
}
