#include "core/report.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cinttypes>
#include <cstdarg>

#include "base/format.h"
#include "base/time_text.h"
#include "core/server.h"
#include "ftp/tls.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/socket.h"

namespace {

// Every line is formatted within this bound.
constexpr size_t kLineBound = 1801;

void AddLine(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void AddLine(std::string* out, const char* fmt, ...) {
  char line[kLineBound + 1];
  va_list ap;
  va_start(ap, fmt);
  const int n = FormatTextV(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n > 0) out->append(line, static_cast<size_t>(n));
}

}  // namespace

std::string StatusReportText(const WL_ZelFtpSvr& svr) {
  const WL_Settings& s = svr.set;
  std::string out;
  char now[64];
  if (FormatLocalTime(NowSeconds(), now, sizeof(now)) < 0) now[0] = '\0';
  AddLine(&out, "\r\nZelfo service report :%s\r\n", now);
  AddLine(&out, "Version:%d.%02d  release:%d-%02d build:%d inner code:%u\r\n", 4, 30, 2026, 10, 1, 1172u);
  AddLine(&out, "Ftp service: ipv4=%d ipv6=%d ipv4 ssl=%d ipv6 ssl=%d ssl only ipv4=%d ipv6=%d\r\n",
          s.Service_enablev4 ? 1 : 0, s.Service_enablev6 ? 1 : 0, s.Service_ipv4tls ? 1 : 0, s.Service_ipv6tls ? 1 : 0,
          s.Login_v4musttls ? 1 : 0, s.Login_v6musttls ? 1 : 0);
  AddLine(&out,
          "Ftp service: ipv4 service port=%u ipv6 service port=%u ipv4 net type=%d ipv6 net type=%d implicit mode "
          "=%s [%u:%u]\r\n",
          s.Service_portv4, s.Service_portv6, s.Net_typev4, s.Net_typev6, s.Implicit_mode ? "Enable" : "Disable",
          s.Service_implicitv4, s.Service_implicitv6);
  AddLine(&out,
          "Ftp service: joint crc=%d ftp extend list:%d no port mode=%d encrypt account mode=%d command protect=%d "
          "extend security=%d\r\n",
          s.Ftp_jointcrc ? 1 : 0, s.List_compatible ? 1 : 0, s.No_portmode ? 1 : 0, s.Use_accountsha ? 1 : 0,
          s.Command_protect, s.Extend_security ? 1 : 0);
  AddLine(&out, "Ftp service: reply style=%d max connects per ip=%d\r\n", s.Reply_style, s.Max_ipconnects);
  if (s.Basic_dataport >= 2048 && s.Unsafe_limitrandomepasvportnum >= 3 && s.Unsafe_limitrandomepasvportnum <= 16) {
    AddLine(&out, "Warning: unsafe limit pasv port range: %u [max:%u]\r\n", s.Basic_dataport,
            s.Unsafe_limitrandomepasvportnum);
  }
  const WL_WebSvr& web = svr.web;
  AddLine(&out, "Web service: ipv4 service=%d ipv6 service=%d ipv4 ssl service=%d ipv6 ssl service=%d\r\n",
          web.ipv4_enabled, web.ipv6_enabled, web.https_v4, web.https_v6);
  AddLine(&out,
          "Web service: ipv4 service port=%u ipv6 service port=%u ipv4 ssl service port=%u ipv6 ssl service "
          "port=%u\r\n",
          web.http_port_v4, web.http_port_v6, web.https_port_v4, web.https_port_v6);
  const WL_EFtpCon& econn = svr.econn;
  AddLine(&out, "Econn service: ipv4 service port=%u (%d) ipv6 service port=%u (%d) timeout=%d:%d max same ip:%d\r\n",
          econn.ipv4_port, econn.ipv4_enabled ? 1 : 0, econn.ipv6_port, econn.ipv6_enabled ? 1 : 0,
          static_cast<int>(s.Econn_connecttimeout), static_cast<int>(s.Econn_datawaittimeout),
          WL_EFtpCon::kExtraPerAddress);
  AddLine(&out, "File map: max item:%u mime:%d timeout:%" PRId64 " %" PRId64 " %" PRId64 "\r\n", s.Max_items,
          s.Http_mimetype, s.Timeout_normal, s.Timeout_media, s.Timeout_longmap);
  AddLine(&out, "Mail dns :%d title=%s mail port=%u ssl=%d \r\n", s.Enable_Sendmail ? 1 : 0,
          s.Mail_subject.empty() ? " " : s.Mail_subject.c_str(), s.Server_port, s.Tls_Sendmail ? 1 : 0);
  AddLine(&out, "Memory pool: large:%d big:%d middle:%d small:%d\r\n", s.Mpool_large, s.Mpool_big, s.Mpool_middle,
          s.Mpool_small);
  AddLine(&out, "Thread pool: max %u low %u full %u\r\n", s.Pool_maxthread, s.Pool_low, s.Pool_high);
  AddLine(&out, "Log : level %d limit size %" PRId64 " bytes\r\n", s.Log_level, s.Log_maxsize);
  AddLine(&out,
          "Tcp parameters: login time out %" PRId64 " file timeout %" PRId64 " cmd timeout %" PRId64
          " joint cmd timeout %d tcp connect timeout %d\r\n",
          s.Login_timeout, s.File_transfertimeout, s.Noop_timeout, s.Joint_cmdtimeout, s.Connect_timeout);
  if (!s.TLS_certificatefile.empty()) AddLine(&out, "SSL cert file : %s\r\n", s.TLS_certificatefile.c_str());
  if (!s.Tls_privatekeyfile.empty()) AddLine(&out, "SSL key file : %s\r\n", s.Tls_privatekeyfile.c_str());
  if (s.Service_portv4 == 21 || s.Service_portv6 == 21) {
    AddLine(&out,
            "Information : found default service port 21 , it needs root or CAP_NET_BIND_SERVICE , suggest service "
            "port number is 2121\r\n");
  }
  const WL_FtpAccount& accounts = svr.accounts;
  AddLine(&out, "Account mode: %s active account:%d max pos:%d\r\n", s.Use_accountsha ? "Encrypt" : "Normal",
          accounts.InUseCount(), accounts.scan_bound());
  for (int i = 0; i < WL_FtpAccount::kSlots; ++i) {
    const WL_AccountRecord& a = accounts.GetAccount(i);
    if (!a.in_use) continue;
    AddLine(&out, "Account : %s level=%d net type=%d backup mode:%d\r\n", a.role_name.c_str(), a.local_level,
            a.net_type, a.BackupReady() ? 1 : 0);
  }
  for (const WL_Resource& r : svr.resources.entries()) {
    AddLine(&out, "Ftp resource :leve %d -> %s : %s \r\n", r.level, r.name.c_str(), r.path.c_str());
  }
  AddLine(&out, "-------End of report------\r\n\r\n");
  return out;
}

bool WL_ZelFtpSvr::WriteStatusReport() {
  if (!set.Make_reportfile) return false;
  const std::string text = StatusReportText(*this);
  FILE* f = OpenFile(install_dir + "config/zelreport.txt", "wb");
  if (f == nullptr) return false;
  const bool written = WriteFile(f, text.data(), text.size()) == text.size();
  // A write the disk refuses at the close is a failed report too.
  const bool closed = CloseFileChecked(f);
  return written && closed;
}

namespace {

// One port the start would listen on.
struct PortUse {
  bool on;
  int family;
  uint16_t port;
  const char* what;
};

void AddReason(std::string* reasons, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void AddReason(std::string* reasons, const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  const int n = FormatTextV(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n > 0) reasons->append(line, static_cast<size_t>(n)).append("\n");
}

}  // namespace

bool CheckConfiguration(WL_ZelFtpSvr* svr, std::string* report, std::string* reasons) {
  report->clear();
  reasons->clear();
  const std::string config_dir = svr->install_dir + "config";
  if (!IsDirectory(config_dir)) {
    AddReason(reasons, "no config directory: %s", config_dir.c_str());
    return false;
  }
  const std::string settings_path = config_dir + "/set.ini";
  if (!LoadSettings(settings_path, svr->install_dir, &svr->set)) {
    // The built-in defaults name no certificate, so the start would fail.
    AddReason(reasons, "cannot read the settings file %s", settings_path.c_str());
  }
  WL_Settings& s = svr->set;
  // The services' own copies of their settings, as the start makes them.
  svr->web.Configure(s);
  svr->econn.ipv4_enabled = s.Service_enablev4 != 0;
  svr->econn.ipv6_enabled = s.Service_enablev6 != 0;
  svr->econn.ipv4_port = s.Econ_portv4;
  svr->econn.ipv6_port = s.Econ_portv6;

  const std::string account_path = config_dir + "/myaccount.ini";
  const std::string share_path = config_dir + "/myshare.txt";
  svr->LoadAccountFiles();
  if (PathKind(account_path) != kPathRegular || !CanRead(account_path)) {
    AddReason(reasons, "cannot read the account file %s", account_path.c_str());
  } else if (svr->accounts.InUseCount() == 0) {
    AddReason(reasons, "no active account in %s", account_path.c_str());
  }
  // Without a resource file the server runs with backup directories only;
  // one that exists but cannot be read is a mistake.
  uint64_t size;
  int kind;
  int64_t mtime;
  const bool share_exists = GetPathInfo(share_path, &size, &kind, &mtime);
  if (share_exists && (PathKind(share_path) != kPathRegular || !CanRead(share_path))) {
    AddReason(reasons, "cannot read the resource file %s", share_path.c_str());
  }
  *report = StatusReportText(*svr);

  if (!LoadTlsContexts(svr)) {
    AddReason(reasons, "the TLS certificate or key does not load (cert: %s, key: %s)",
              s.TLS_certificatefile.empty() ? "none" : s.TLS_certificatefile.c_str(),
              s.Tls_privatekeyfile.empty() ? "none" : s.Tls_privatekeyfile.c_str());
  }
  FreeTlsContexts(svr);

  const bool v4 = s.Service_enablev4 != 0;
  const bool v6 = s.Service_enablev6 != 0;
  if (!v4 && !v6) AddReason(reasons, "neither IPv4 nor IPv6 is enabled");
  const WL_WebSvr& web = svr->web;
  const PortUse ports[] = {
      {v4, AF_INET, s.Service_portv4, "FTP IPv4"},
      {v6, AF_INET6, s.Service_portv6, "FTP IPv6"},
      {v4 && s.Implicit_mode && s.Service_implicitv4 != 0, AF_INET, s.Service_implicitv4, "implicit TLS IPv4"},
      {v6 && s.Implicit_mode && s.Service_implicitv6 != 0, AF_INET6, s.Service_implicitv6, "implicit TLS IPv6"},
      {v4, AF_INET, s.Econ_portv4, "econn IPv4"},
      {v6, AF_INET6, s.Econ_portv6, "econn IPv6"},
      {web.ipv4_enabled != 0, AF_INET, web.http_port_v4, "HTTP IPv4"},
      {web.ipv6_enabled != 0, AF_INET6, web.http_port_v6, "HTTP IPv6"},
      {web.ipv4_enabled && web.https_v4, AF_INET, web.https_port_v4, "HTTPS IPv4"},
      {web.ipv6_enabled && web.https_v6, AF_INET6, web.https_port_v6, "HTTPS IPv6"},
  };
  for (size_t i = 0; i < sizeof(ports) / sizeof(ports[0]); ++i) {
    const PortUse& p = ports[i];
    if (!p.on) continue;
    // Two services of one family on one port collide in the start itself.
    bool shared = false;
    for (size_t j = 0; j < i && !shared; ++j) {
      shared = ports[j].on && ports[j].family == p.family && ports[j].port == p.port;
      if (shared) AddReason(reasons, "%s port %u is also the %s port", p.what, p.port, ports[j].what);
    }
    if (shared) continue;
    if (p.port == 0) {
      AddReason(reasons, "%s port is 0", p.what);
      continue;
    }
    const int fd = NetListen(p.family, p.port, 1);
    if (fd == kInvalidSocket) {
      AddReason(reasons, "%s port %u cannot be opened (taken by another process, or it needs root)", p.what, p.port);
    } else {
      NetClose(fd);
    }
  }
  return reasons->empty();
}
