#include "core/settings.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "accounts/scramble.h"
#include "base/fixed_texts.h"
#include "base/ini_rw.h"
#include "base/local_path.h"
#include "base/text_scan.h"
#include "platform/fs.h"

namespace {

constexpr const char kDefaultKeyPass[] = "k86420975";
constexpr const char kDefaultKeyFile[] = "?InstallDir?config/sslkey.pem";
constexpr const char kDefaultCertFile[] = "?InstallDir?config/sslcert.pem";
constexpr const char kDefaultSubject[] = "_Zelfo_dnsmail_";
constexpr const char kInstallMarker[] = "?InstallDir?";

bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Below lo becomes below_to; above hi becomes above_to; the order of the
// settings table.
template <typename T>
T Clamp(T v, int64_t lo, int64_t below_to, int64_t hi, int64_t above_to) {
  if (static_cast<int64_t>(v) < lo) return static_cast<T>(below_to);
  if (static_cast<int64_t>(v) > hi) return static_cast<T>(above_to);
  return v;
}


class Reader {
 public:
  explicit Reader(const WL_IniRW& ini) : ini_(ini) {}

  const char* Raw(const char* sec, const char* key) const { return ini_.GetValue(sec, key); }
  bool Has(const char* sec, const char* key) const { return Raw(sec, key) != nullptr; }

  // "%d": 32-bit signed.
  int32_t Int(const char* sec, const char* key, int32_t def) const {
    int64_t x;
    return ScanDecimal(Raw(sec, key), &x) ? SaturateInt32(x) : def;
  }
  // "%u": 32-bit unsigned; a negative value wraps as the C library's scan
  // does.
  uint32_t Uint(const char* sec, const char* key, uint32_t def) const {
    int64_t x;
    if (!ScanDecimal(Raw(sec, key), &x)) return def;
    if (x > static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
    if (x < -static_cast<int64_t>(UINT32_MAX)) return 1;
    return static_cast<uint32_t>(x);
  }
  int64_t Int64(const char* sec, const char* key, int64_t def) const {
    int64_t x;
    return ScanDecimal(Raw(sec, key), &x) ? x : def;
  }
  int32_t Flag(const char* sec, const char* key, int32_t def) const { return Int(sec, key, def) != 0 ? 1 : 0; }
  // A port or other 16-bit value: the 32-bit number wraps to 16 bits.
  uint16_t Word(const char* sec, const char* key, uint16_t def) const {
    return static_cast<uint16_t>(Int(sec, key, def));
  }
  // A text of 1 to max characters after trimming; otherwise def.
  std::string Text(const char* sec, const char* key, size_t max, const std::string& def = {}) const {
    std::string t = TrimmedText(Raw(sec, key));
    if (t.empty() || t.size() > max) return def;
    return t;
  }
  // A directory path (log and backup directories).
  std::string Directory(const char* sec, const char* key) const {
    std::string t = TrimmedText(Raw(sec, key));
    if (t.size() > 1279) return {};
    for (char& c : t) {
      if (c == '\\') c = '/';
    }
    if (!t.empty() && t.back() == '/') {
      t.pop_back();
      while (!t.empty() && (t.back() == '/' || IsWhite(t.back()))) t.pop_back();
    }
    return IsSafeLocalPath(t) ? t : std::string();
  }

 private:
  const WL_IniRW& ini_;
};

// Picks the section and key to read for a key with an older name: the old one
// only when the new key is absent and the old one present.
struct KeyName {
  const char* sec;
  const char* key;
};

KeyName Choose(const Reader& r, KeyName now, KeyName old) {
  return (!r.Has(now.sec, now.key) && r.Has(old.sec, old.key)) ? old : now;
}

std::string TlsFilePath(std::string path, const std::string& install_dir) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.find(kInstallMarker) == std::string::npos) return path;
  ReplaceAll(&path, kInstallMarker, install_dir + "/");
  ReplaceAll(&path, "//", "/");
  if (path.size() > 1280 || !IsSafeLocalPath(path)) return {};
  return path;
}

void ApplyTls(const Reader& r, const std::string& install_dir, WL_Settings* s) {
  const char* now = "Tls_config";
  const char* old = "ZelSvrSetStr";
  const bool pass_in_new = r.Has(now, "Tls_privatekeypass");
  if (pass_in_new) {
    s->Tls_privatekeypass = r.Text(now, "Tls_privatekeypass", 128, kDefaultKeyPass);
  } else {
    s->Tls_privatekeypass = r.Text(old, "TLS_privatekeypass", 128, kDefaultKeyPass);
  }
  auto file = [&](const char* new_key, const char* old_key, const char* def) {
    const char* v = r.Raw(now, new_key);
    if (v == nullptr && !pass_in_new) v = r.Raw(old, old_key);
    std::string t = v == nullptr ? std::string(def) : TrimmedText(v);
    if (t.size() > 1279) t = def;
    return TlsFilePath(t, install_dir);
  };
  s->Tls_privatekeyfile = file("Tls_privatekeyfile", "Tls_privatekeyfile", kDefaultKeyFile);
  s->TLS_certificatefile = file("TLS_certificatefile", "TLS_certificatefile", kDefaultCertFile);
}

bool IsPrintableText(const std::string& t) {
  for (char c : t) {
    if (!isprint(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

WL_Settings::WL_Settings() : Encode_string(kScrambleKey2) {}

void ApplySettings(const WL_IniRW& ini, const std::string& install_dir, WL_Settings* s) {
  Reader r(ini);

  s->Debug_mode = r.Flag("Zelfo_global", "Debug_mode", 0);

  {
    const char* sec = "Zelfo_ftp";
    KeyName e4 = Choose(r, {sec, "Service_enablev4"}, {"ZelSvrSet", "Ipv4_Enable"});
    KeyName e6 = e4.sec == sec ? KeyName{sec, "Service_enablev6"} : KeyName{"ZelSvrSet", "Ipv6_Enable"};
    s->Service_enablev4 = r.Flag(e4.sec, e4.key, 1);
    s->Service_enablev6 = r.Flag(e6.sec, e6.key, 1);
    s->Service_ipv4tls = r.Flag(sec, "Service_ipv4tls", 1);
    s->Service_ipv6tls = r.Flag(sec, "Service_ipv6tls", 1);
    s->Login_v4musttls = s->Service_ipv4tls ? r.Flag(sec, "Login_v4musttls", 0) : 0;
    s->Login_v6musttls = s->Service_ipv6tls ? r.Flag(sec, "Login_v6musttls", 0) : 0;
    s->Net_typev4 = r.Int(sec, "Net_typev4", 0);
    if (s->Net_typev4 < 0 || s->Net_typev4 > 2) s->Net_typev4 = 0;
    s->Net_typev6 = r.Int(sec, "Net_typev6", 0);
    if (s->Net_typev6 < 0 || s->Net_typev6 > 2) s->Net_typev6 = 0;
    KeyName p4 = Choose(r, {sec, "Service_portv4"}, {"ZelSvrSet", "Port_Service"});
    KeyName p6 = p4.sec == sec ? KeyName{sec, "Service_portv6"} : KeyName{"ZelSvrSet", "Port_Serviceipv6"};
    s->Service_portv4 = r.Word(p4.sec, p4.key, 21);
    if (s->Service_portv4 <= 1) s->Service_portv4 = 21;
    s->Service_portv6 = r.Word(p6.sec, p6.key, 21);
    if (s->Service_portv6 <= 1) s->Service_portv6 = 21;
    s->Implicit_mode = r.Flag(sec, "Implicit_mode", 0);
    s->Service_implicitv4 = static_cast<uint16_t>(r.Uint(sec, "Service_implicitv4", 0));
    if (s->Implicit_mode && s->Service_implicitv4 == 0) s->Service_implicitv4 = static_cast<uint16_t>(s->Service_portv4 - 1);
    s->Service_implicitv6 = static_cast<uint16_t>(r.Uint(sec, "Service_implicitv6", 0));
    if (s->Implicit_mode && s->Service_implicitv6 == 0) s->Service_implicitv6 = static_cast<uint16_t>(s->Service_portv6 - 1);
    s->No_syshiddenfile = r.Flag(sec, "No_syshiddenfile", 1);
    s->Extend_security = r.Flag(sec, "Extend_security", 0);
    s->No_cmdextend = r.Flag(sec, "No_cmdextend", 1);
    s->Random_failresponse = r.Flag(sec, "Random_failresponse", 0);
    s->No_portmode = r.Flag(sec, "No_portmode", 0);
    s->Bbs_enable = r.Flag(sec, "Bbs_enable", 1);
    s->Loginfail_blackip = r.Flag(sec, "Loginfail_blackip", 0);
    s->No_ftpplainpass = r.Flag(sec, "No_ftpplainpass", 0);
    KeyName dp = Choose(r, {sec, "Basic_dataport"}, {"ZelSvrSet", "Port_DataBasic"});
    s->Basic_dataport = r.Word(dp.sec, dp.key, 0);
    if (s->Basic_dataport < 2048 || s->Basic_dataport > 63999) s->Basic_dataport = 0;
    s->Unsafe_limitrandomepasvportnum = r.Uint(sec, "Unsafe_limitrandomepasvportnum", 0);
    if (s->Unsafe_limitrandomepasvportnum < 3 || s->Unsafe_limitrandomepasvportnum > 15) {
      s->Unsafe_limitrandomepasvportnum = 0;
    }
    s->Max_users = r.Word(sec, "Max_users", 32);
    if (s->Max_users <= 1) s->Max_users = 20;
    if (s->Max_users >= 64) s->Max_users = 63;
    s->Reply_style = r.Int(sec, "Reply_style", 0);
    if (s->Reply_style < 0 || s->Reply_style > 2) s->Reply_style = 0;
    s->Max_ipconnects = r.Int(sec, "Max_ipconnects", 16);
    if (s->Max_ipconnects < 0 || s->Max_ipconnects > 63) s->Max_ipconnects = 16;
  }

  {
    const char* sec = "Zelfo_extend";
    KeyName c4 = Choose(r, {sec, "Econ_portv4"}, {"ZelSvrSet", "Port_FixDataConnect"});
    KeyName c6 = c4.sec == sec ? KeyName{sec, "Econ_portv6"} : KeyName{"ZelSvrSet", "Port_FixDataConnectIPV6"};
    s->Econ_portv4 = r.Word(c4.sec, c4.key, 2020);
    if (s->Econ_portv4 <= 1024) s->Econ_portv4 = 2020;
    s->Econ_portv6 = r.Word(c6.sec, c6.key, 2020);
    if (s->Econ_portv6 <= 1024) s->Econ_portv6 = 2020;
    s->Econn_connecttimeout = Clamp(r.Int64(sec, "Econn_connecttimeout", 60), 12, 60, 120, 120);
    s->Econn_datawaittimeout = Clamp(r.Int64(sec, "Econn_datawaittimeout", 72), 12, 65, 128, 128);
    s->Use_accountsha = r.Flag(sec, "Use_accountsha", 0);
    s->Filehash_adminonly = r.Flag(sec, "Filehash_adminonly", 1);
    s->Ftp_jointcrc = r.Flag(sec, "Ftp_jointcrc", 1);
    KeyName lc = Choose(r, {sec, "List_compatible"}, {"ZelSvrSet", "Ftp_Listextendpara"});
    s->List_compatible = r.Flag(lc.sec, lc.key, 0);
    s->No_internetmap = r.Flag(sec, "No_internetmap", 0);
    s->Ftp_autoremovelastmap = r.Flag(sec, "Ftp_autoremovelastmap", 1);
    KeyName ll = Choose(r, {sec, "Log_level"}, {"ZelSvrSet", "Log_Level"});
    s->Log_level = r.Int(ll.sec, ll.key, 1);
    if (ll.sec != sec && s->Log_level > 99) s->Log_level = 5;
    if (s->Log_level < 0) s->Log_level = 0;
    if (s->Log_level > 5) s->Log_level = 5;
    if (s->Debug_mode) s->Log_level = 5;
    s->Log_maxsize = r.Int64(sec, "Log_maxsize", 2147483648LL);
    if (s->Log_maxsize < 3145728) {
      s->Log_maxsize = 0;
    } else if (s->Log_maxsize < 8388608) {
      s->Log_maxsize = 8388608;
    }
    s->Sublog_maxsize = Clamp(r.Int(sec, "Sublog_maxsize", 73728), 32768, 65536, 262144, 262144);
    s->Sublog_flushtime = Clamp(r.Int64(sec, "Sublog_flushtime", 600), 60, 300, 1200, 1200);
    s->Log_path = r.Directory(sec, "Log_path");
    if (!s->Log_path.empty() && !IsDirectory(s->Log_path)) s->Log_path.clear();
  }

  {
    const char* sec = "Zelfo_option";
    s->Command_protect = r.Int(sec, "Command_protect", 0);
    s->Connect_timeout = Clamp(r.Int(sec, "Connect_timeout", 60), 12, 48, 120, 120);
    s->Joint_cmdtimeout = Clamp(r.Int(sec, "Joint_cmdtimeout", 120), 16, 65, 300, 300);
    s->Gip6_all = r.Flag(sec, "Gip6_all", 1);
    s->Removelong_onipv6change = r.Flag(sec, "Removelong_onipv6change", 0);
    KeyName sc = Choose(r, {sec, "Ftp_shakecode"}, {"ZelSvrSet", "Code_Shake"});
    s->Ftp_shakecode = r.Int64(sc.sec, sc.key, 0);
    if (s->Ftp_shakecode < 0) s->Ftp_shakecode = 0;
    s->File_transfertimeout = Clamp(r.Int64(sec, "File_transfertimeout", 300), 60, 120, 720, 720);
    s->Noop_timeout = Clamp(r.Int64(sec, "Noop_timeout", 610), 480, 600, 1200, 1200);
    s->Login_timeout = Clamp(r.Int64(sec, "Login_timeout", 180), 60, 180, 600, 600);
    s->Make_reportfile = r.Flag(sec, "Make_reportfile", 1);
    s->Limit_4kbuff = r.Flag(sec, "Limit_4kbuff", 0);
  }

  {
    const char* sec = "Zelfo_http";
    s->Max_session = Clamp(r.Int(sec, "Max_session", 72), 16, 48, 180, 180);
    KeyName hp = Choose(r, {sec, "Service_portv4"}, {"ZelSvrSet", "Http_serviceport"});
    s->Http_portv4 = r.Word(hp.sec, hp.key, 8080);
    if (s->Http_portv4 == 0) s->Http_portv4 = 8080;
    s->Http_portv6 = r.Word(sec, "Service_portv6", 8080);
    if (s->Http_portv6 == 0) s->Http_portv6 = 8080;
    s->Enable_httpsv4 = r.Flag(sec, "Enable_httpsv4", 0);
    s->Enable_httpsv6 = r.Flag(sec, "Enable_httpsv6", 0);
    s->Service_sslv4port = r.Word(sec, "Service_sslv4port", 8081);
    // "Next port up" only where there is one: 65535 + 1 would wrap to 0.
    if (s->Service_sslv4port == s->Http_portv4 && s->Http_portv4 < 65535) {
      s->Service_sslv4port = static_cast<uint16_t>(s->Http_portv4 + 1);
    }
    s->Service_sslv6port = r.Word(sec, "Service_sslv6port", 8081);
    if (s->Service_sslv6port == s->Http_portv6 && s->Http_portv6 < 65535) {
      s->Service_sslv6port = static_cast<uint16_t>(s->Http_portv6 + 1);
    }
    s->File_sendtimeout = Clamp(r.Int(sec, "File_sendtimeout", 1200), 600, 1000, 2800, 2800);
    s->Get_timeout = Clamp(r.Int(sec, "Get_timeout", 55), 12, 48, 120, 120);
    s->Http_mimetype = r.Int(sec, "Http_mimetype", 10);
    if (s->Http_mimetype < 0 || s->Http_mimetype > 10) s->Http_mimetype = 10;
    s->Http_protectmode = r.Flag(sec, "Http_protectmode", 1);
    s->Http_send404 = r.Flag(sec, "Http_send404", 1);
    s->Http_badhead404 = r.Flag(sec, "Http_badhead404", 0);
  }

  {
    const char* sec = "Zelfo_filemap";
    s->Max_items = Clamp(r.Word(sec, "Max_items", 280), 72, 72, 512, 512);
    s->Timeout_longmap = r.Int64(sec, "Timeout_longmap", 129600);
    if (s->Timeout_longmap <= 3600) s->Timeout_longmap = 129600;
    if (s->Timeout_longmap > 432000) s->Timeout_longmap = 432000;
    s->Timeout_media = Clamp(r.Int64(sec, "Timeout_media", 480), 120, 480, 1200, 1200);
    s->Timeout_normal = Clamp(r.Int64(sec, "Timeout_normal", 300), 72, 300, 1200, 1200);
  }

  {
    const char* sec = "Zelfo_backup";
    const char* old = "ZelTimerBackup";
    auto pick = [&](const char* key) { return Choose(r, {sec, key}, {old, key}); };
    KeyName k = pick("Enable_backup");
    s->Enable_backup = r.Flag(k.sec, k.key, 0);
    s->Backup_checktime = r.Flag(sec, "Backup_checktime", 1);
    s->Backup_nosyshidden = r.Flag(sec, "Backup_nosyshidden", 1);
    s->Backup_syncmode = r.Flag(sec, "Backup_syncmode", 0);
    k = pick("Backup_gaphours");
    s->Backup_gaphours = r.Int(k.sec, k.key, 168);
    if (s->Backup_gaphours < 24) s->Backup_gaphours = 24;
    k = pick("Backup_exectime");
    s->Backup_exectime = r.Int(k.sec, k.key, 2);
    if (s->Backup_exectime < 0) s->Backup_exectime = 0;
    s->Backup_exectime %= 24;
    k = pick("Backup_source_1");
    s->Backup_source_1 = r.Directory(k.sec, k.key);
    k = pick("Backup_source_2");
    s->Backup_source_2 = r.Directory(k.sec, k.key);
    k = pick("Backup_dest_1");
    s->Backup_dest_1 = r.Directory(k.sec, k.key);
    k = pick("Backup_dest_2");
    s->Backup_dest_2 = r.Directory(k.sec, k.key);
  }

  {
    const char* sec = "Zelfo_memorypool";
    s->Mpool_small = Clamp(r.Int(sec, "Mpool_small", 16), 5, 22, 56, 56);
    s->Mpool_middle = Clamp(r.Int(sec, "Mpool_middle", 15), 4, 12, 56, 56);
    s->Mpool_big = Clamp(r.Int(sec, "Mpool_big", 16), 4, 12, 36, 36);
    s->Mpool_large = Clamp(r.Int(sec, "Mpool_large", 28), 8, 20, 100, 100);
  }

  {
    const char* sec = "Zelfo_threadpool";
    s->Pool_low = r.Uint(sec, "Pool_low", 5);
    if (s->Pool_low <= 1) s->Pool_low = 4;
    if (s->Pool_low > 12) s->Pool_low = 12;
    s->Pool_high = Clamp(r.Uint(sec, "Pool_high", 16), 8, 12, 32, 32);
    s->Pool_maxthread = Clamp(r.Uint(sec, "Pool_maxthread", 128), 16, 72, 256, 256);
  }

  {
    s->Ipv4_ipwall = r.Flag("Zelfo_Ipwall", "Ipv4_ipwall", 1);
    s->Ipv6_ipwall = r.Flag("Zelfo_Ipwallt", "Ipv6_ipwall", 1);
    const char* sec = "Zelfo_Ipwall";
    s->Max_trytimes = Clamp(r.Uint(sec, "Max_trytimes", 10), 5, 8, 72, 72);
    s->Record_seconds = Clamp(r.Int64(sec, "Record_seconds", 1200), 300, 600, 86400, 86400);
    s->Loop_scangapsec = Clamp(r.Int64(sec, "Loop_scangapsec", 100), 60, 72, 300, 300);
    s->Ipwall_listnum = Clamp(r.Uint(sec, "Ipwall_listnum", 128), 64, 64, 1024, 1024);
    s->Ipwall_prefixpblock = r.Flag("ZelSvrSet", "Ipwall_prefixpblock", 0);
  }

  {
    const char* sec = "ZelSvrMailSet";
    s->Probe_Enum = r.Flag(sec, "Probe_Enum", 1);
    s->Enable_Sendmail = r.Flag(sec, "Enable_Sendmail", 0);
    s->Cert_Verify = r.Int(sec, "Cert_Verify", 0);
    s->Ipv6_Sendmail = r.Flag(sec, "Ipv6_Sendmail", 0);
    s->Tls_Sendmail = r.Flag(sec, "Tls_Sendmail", 1);
    s->Server_port = r.Word(sec, "Server_port", 465);
    s->Timer_Seconds = Clamp(r.Int64(sec, "Timer_Seconds", 270000), 86400, 270000, 1382399, 1382400);
    s->Encode_string = TrimmedText(r.Raw(sec, "Encode_string"));
    if (s->Encode_string.size() < 2 || s->Encode_string.size() > 129) s->Encode_string = std::string(kScrambleKey2);
    s->Server_addr = r.Text(sec, "Server_addr", 499);
    s->Mail_username = r.Text(sec, "Mail_username", 129);
    s->Mail_spassword = r.Text(sec, "Mail_spassword", 499);
    s->Mail_password = r.Text(sec, "Mail_password", 129);
    // A scrambled password (the account file's form) wins over a clear one.
    if (s->Mail_spassword.size() > 7) {
      std::string clear = UnscramblePassword(s->Mail_spassword);
      if (!clear.empty()) s->Mail_password = std::move(clear);
    }
    s->Mail_from = r.Text(sec, "Mail_from", 254);
    s->Mail_sendto = r.Text(sec, "Mail_sendto", 254);
    s->Mail_cc = r.Text(sec, "Mail_cc", 254);
    s->Mail_cc1 = r.Text(sec, "Mail_cc1", 254);
    s->Mail_cc2 = r.Text(sec, "Mail_cc2", 254);
    s->Mail_subject = r.Text(sec, "Mail_subject", 254, kDefaultSubject);
    if (s->Mail_subject == "." || !IsPrintableText(s->Mail_subject)) s->Mail_subject = kDefaultSubject;
  }

  ApplyTls(r, install_dir, s);
}

bool LoadSettings(const std::string& path, const std::string& install_dir, WL_Settings* s) {
  if (PathKind(path) != kPathRegular) return false;
  WL_IniRW ini;
  if (!ini.Open(path)) return false;
  ApplySettings(ini, install_dir, s);
  return true;
}
