#include "daemons/ipv6_mail.h"

#include <openssl/crypto.h>

#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/fixed_texts.h"
#include "base/format.h"
#include "base/ini_rw.h"
#include "base/local_path.h"
#include "base/net_text.h"
#include "base/random64.h"
#include "base/text_scan.h"
#include "base/time_text.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace {

constexpr size_t kMailThreadStack = 4194304;
constexpr size_t kBodyBlock = 8192;
constexpr size_t kBodyCap = 6144;

uint64_t LittleEndian(const uint8_t* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

void PutLittleEndian(uint64_t v, uint8_t* b) {
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// "%I64u" of the status file: leading white space, then digits; saturates
// instead of overflowing.
bool ScanUnsigned(const char* v, uint64_t* out) {
  while (*v != '\0' && isspace(static_cast<unsigned char>(*v))) ++v;
  if (!isdigit(static_cast<unsigned char>(*v))) return false;
  *out = static_cast<uint64_t>(strtoull(v, nullptr, 10));
  return true;
}

bool IsLoopbackOrLinkLocal(const uint8_t a[16]) {
  static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(a, loopback, 16) == 0 || (a[0] == 0xfe && (a[1] & 0x80) != 0);
}

// The source address the routing picks towards a random host inside a
// public network ("2001:4860::/32"). No packet is sent.
bool ProbeNetwork(std::string_view net, WL_NoLockRandom64* rng, uint8_t out[16]) {
  const size_t cut = net.find("::");
  if (cut == std::string_view::npos) return false;
  const std::string_view prefix = net.substr(0, cut);  // the two /32 groups
  uint16_t g[6];
  for (int i = 0; i < 6; i += 2) {
    const uint64_t v = rng->Draw();
    g[i] = static_cast<uint16_t>(v >> 16);
    g[i + 1] = static_cast<uint16_t>(v >> 40);
  }
  g[5] |= 1;  // never the network's all-zero host
  BoundedStr<64> target;
  if (!target.Format("%.*s:%x:%x:%x:%x:%x:%x", static_cast<int>(prefix.size()), prefix.data(), g[0], g[1], g[2],
                     g[3], g[4], g[5])) {
    return false;
  }
  const uint16_t port = static_cast<uint16_t>(GetTickCount() % 50000 + 1024);
  uint8_t a[16] = {};
  if (!ProbeSourceIpv6(target.c_str(), port, a)) return false;
  static const uint8_t zero[16] = {};
  if (memcmp(a, zero, 16) == 0) return false;
  memcpy(out, a, 16);
  return true;
}

bool ProbeBoth(WL_NoLockRandom64* rng, uint8_t out[16]) {
  return ProbeNetwork(kProbeNet1, rng, out) || ProbeNetwork(kProbeNet2, rng, out);
}

// Whether every entry of one family's firewall table is in use.
bool FirewallFull(WL_IPFireWall& fw, bool ipv6) {
  if (!fw.active() || (ipv6 ? !fw.ipv6_enabled : !fw.ipv4_enabled) || fw.table_size == 0) return false;
  return fw.UsedCount(!ipv6) >= fw.table_size;
}

// Appends formatted text to the body. False when it does not fit.
class BodyWriter {
 public:
  BodyWriter(char* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = '\0'; }
  bool Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(buf_ + len_, cap_ - len_, fmt, ap);
    va_end(ap);
    if (n < 0) {
      buf_[len_] = '\0';
      return false;
    }
    len_ += static_cast<size_t>(n);
    return true;
  }
  size_t size() const { return len_; }

 private:
  char* buf_;
  size_t cap_;
  size_t len_ = 0;
};

// One value of the report's random lines: advance, step, take the state.
uint64_t NextValue(WL_NoLockRandom64* rng, uint64_t offset) {
  if (offset != 0) rng->Advance(offset);
  rng->Next();
  return rng->State();
}

void MailLog(WL_ZelFtpSvr* svr, const char* text) {
  if (svr->set.Log_level > 0) svr->ftp_log.Write(text, strlen(text));
}

// The reply line as it may appear in the log: cut at the first character
// that is not printable or after 299 characters, and never a line that
// carries the password (some servers echo what they refused).
void LoggableReply(const WL_SmtpClient& smtp, BoundedStr<300>* out) {
  const char* r = smtp.last_reply();
  size_t n = 0;
  while (n < 299 && r[n] != '\0' && r[n] >= 0x20 && r[n] < 0x7f) ++n;
  out->Assign(std::string_view(r, n));
  const char* pw = smtp.password.c_str();
  if (!smtp.password.empty() && strstr(out->c_str(), pw) != nullptr) out->clear();
  if (out->empty()) out->Assign("-");
}

void* MailThreadMain(void* arg) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(arg);
  WL_ThreadControl& ctl = svr->mail_ctl;
  ctl.thread_id.store(CurrentThreadId());
  ctl.running.store(true, std::memory_order_release);
  ctl.started.store(true, std::memory_order_release);
  WL_SmtpClient& smtp = svr->smtp;
  smtp.stop_flag = &ctl.stop_requested;

  int32_t result = kMailNotComposed;
  void* block = nullptr;
  if (!ctl.stop_requested.load(std::memory_order_acquire)) {
    block = svr->mempool.MemAlloc(kBodyBlock);
    if (block == nullptr) {
      result = kMailNoBuffer;
    } else {
      char* body = static_cast<char*>(block);
      const int n = ComposeMailBody(svr, body, kBodyCap);
      char when[64];
      FormatLocalTime(NowSeconds(), when, sizeof(when));
      BoundedStr<512> line;
      if (n < 0) {
        line.Format("%s Send mail: prepare failed [%d]\r\n", when, smtp.mail_error_code());
        MailLog(svr, line.c_str());
        result = kMailNotComposed;
      } else {
        const bool sent = smtp.SendMail(body, static_cast<size_t>(n));
        FormatLocalTime(NowSeconds(), when, sizeof(when));
        if (sent) {
          line.Format("%s Send mail: success to send mail\r\n", when);
          result = kMailSent;
        } else {
          if (smtp.last_reply()[0] != '\0') {
            BoundedStr<300> reply;
            LoggableReply(smtp, &reply);
            line.Format("%s Send mail: failed to send mail,error=%d [%s]\r\n", when, smtp.mail_error_code(),
                        reply.c_str());
          } else {
            line.Format("%s Send mail: failed to send mail,error=%d\r\n", when, smtp.mail_error_code());
          }
          result = kMailSendFailed;
        }
        MailLog(svr, line.c_str());
        uint8_t address[16];
        svr->mail.GetAddress(address);
        // A status file that cannot be written is not fatal: the state in
        // memory still decides the retries of this run.
        WriteMailStatus(MailStatusPath(svr->install_dir), NowSeconds(), result, address);
      }
    }
  }

  svr->mail.last_result.store(result);
  svr->mail.last_attempt.store(NowSeconds());
  if (result > 0) {
    svr->mail.sent_count.fetch_add(1, std::memory_order_relaxed);
  } else if (result < 0) {
    svr->mail.failed_count.fetch_add(1, std::memory_order_relaxed);
  } else {
    svr->mail.idle_count.fetch_add(1, std::memory_order_relaxed);
  }

  smtp.ResetClient();
  if (block != nullptr) svr->mempool.MemFree(block);
  OPENSSL_thread_stop();
  ctl.running.store(false, std::memory_order_release);
  return nullptr;
}

}  // namespace

void WL_MailState::GetAddress(uint8_t out[16]) const {
  std::lock_guard<WL_Lock> hold(address_lock);
  memcpy(out, last_address, 16);
}

void WL_MailState::SetAddress(const uint8_t in[16]) {
  std::lock_guard<WL_Lock> hold(address_lock);
  memcpy(last_address, in, 16);
}

std::string MailStatusPath(const std::string& install_dir) {
  std::string path = install_dir + "/config/zelmaildns.ini";
  ReplaceAll(&path, "//", "/");
  return path;
}

bool MailConfigured(const WL_ZelFtpSvr& svr) {
  const WL_SmtpClient& c = svr.smtp;
  return c.enabled && !c.password.empty() && !c.server_addr.empty() && !c.subject.empty() && !c.user_name.empty() &&
         c.port != 0;
}

bool CheckIpv6ChangeAt(WL_ZelFtpSvr* svr, int64_t now, uint8_t out[16]) {
  if (svr->mail_ctl.running.load(std::memory_order_acquire)) return false;
  const int64_t last = svr->mail.last_attempt.load();
  if (last <= now && now - last < 60) return false;
  const int32_t result = svr->mail.last_result.load();
  if (result == 0) return last > now || now - last >= 180;
  if (result < 0) return last > now || now - last >= 360;

  uint8_t mailed[16];
  svr->mail.GetAddress(mailed);
  uint8_t current[16] = {};
  if (svr->smtp.probe_enum) {
    uint8_t list[16][16];
    const int n = ListLocalIpv6(list, nullptr, nullptr);
    int found = -1;
    for (int i = 0; i < n && found < 0; ++i) {
      if (ClassifyIpv6(list[i]) > 0) found = i;
    }
    if (found < 0) return false;
    memcpy(current, list[found], 16);
  } else {
    WL_NoLockRandom64 rng;
    if (!ProbeBoth(&rng, current)) return false;
  }
  if (memcmp(current, mailed, 16) == 0) return false;
  memcpy(out, current, 16);
  return true;
}

bool CheckIpv6Change(WL_ZelFtpSvr* svr, uint8_t out[16]) { return CheckIpv6ChangeAt(svr, NowSeconds(), out); }

int ComposeMailBody(WL_ZelFtpSvr* svr, char* buf, size_t cap) {
  WL_SmtpClient& smtp = svr->smtp;
  if (buf == nullptr || cap < kBodyCap) return -1;
  cap = kBodyCap;
  uint8_t list[16][16];
  const int n = ListLocalIpv6(list, nullptr, nullptr);
  smtp.port_text.Format("%u", static_cast<unsigned>(svr->set.Service_portv6));

  const uint32_t tick = GetTickCount();
  const uint32_t tid = CurrentThreadId();
  WL_NoLockRandom64 rng;
  rng.Mix(tick, tid, tick % 61, tid % 8);

  uint8_t chosen[16] = {};
  if (smtp.probe_enum) {
    if (n == 0) {
      smtp.set_mail_error_code(kMailNoAddress);
      return -21;
    }
    int found = -1;
    for (int i = 0; i < n && found < 0; ++i) {
      if (ClassifyIpv6(list[i]) > 0) found = i;
    }
    if (found < 0) {
      smtp.set_mail_error_code(kMailNoGlobal);
      return -22;
    }
    memcpy(chosen, list[found], 16);
  } else {
    if (!ProbeBoth(&rng, chosen)) {
      smtp.set_mail_error_code(kMailProbeNothing);
      return -3;
    }
    if (IsLoopbackOrLinkLocal(chosen)) {
      smtp.set_mail_error_code(kMailProbeLocal);
      return -2;
    }
  }
  svr->mail.SetAddress(chosen);
  char text[48];
  Ipv6ToText(chosen, text, sizeof(text));
  smtp.address_text.Assign(text);

  const int64_t now = NowSeconds();
  BodyWriter body(buf, cap);
  const bool wall4 = FirewallFull(svr->firewall, false);
  const bool wall6 = FirewallFull(svr->firewall, true);
  body.Add("Zelfo report (%u : %" PRIx64 "):\r\nFtp port [ipv4:ipv6]=%u:%u (%s:%s)\r\n", tick,
           static_cast<uint64_t>(now), static_cast<unsigned>(svr->set.Service_portv4),
           static_cast<unsigned>(svr->set.Service_portv6), wall4 ? "Firewall: warning 4" : "ok",
           wall6 ? "Firewall: warning 6" : "ok");

  uint32_t v4[16];
  const int n4 = ListLocalIpv4(v4, 16);
  for (int i = 0; i < n4 && body.size() <= 3799; ++i) {
    Ipv4ToText(v4[i], text, sizeof(text));
    body.Add("Ipv4 :%s\r\n", text);
  }
  for (int i = 0; i < n && body.size() <= 4999; ++i) {
    Ipv6ToText(list[i], text, sizeof(text));
    body.Add("Ipv6 [%s] :%s\r\n", ClassifyIpv6(list[i]) > 0 ? "internet" : "local", text);
  }
  if (n > 2 && body.size() <= 4999) {
    body.Add("Information: it seems you have enabled random ipv6 address in server, suggest to disable it\r\n");
  }
  if (body.size() <= 4999) {
    char date[40];
    FormatClockDate(now, date, sizeof(date));
    body.Add("Date time: %s\r\n", date);
    const uint64_t k1 = NextValue(&rng, 0);
    const uint64_t k2 = NextValue(&rng, tick % 1200 + 4);
    body.Add("Verify-Key: %" PRIx64 ":%" PRIx64 "\r\n", k1, k2);
    const uint64_t s1 = NextValue(&rng, tid % 2100 + 38);
    const uint64_t s2 = NextValue(&rng, 18);
    body.Add("Security-IP: %" PRIx64 ":%" PRIx64 "\r\n", s1, s2);
    const uint64_t d1 = NextValue(&rng, tick % 1200 + 82);
    const uint64_t d2 = NextValue(&rng, tick % 7200 + 16);
    body.Add("Data-id: %" PRIu64 "-%" PRIu64 " :%u\r\n", d1, d2, tick % 500);
    const uint64_t t1 = NextValue(&rng, tick % 2000 + 52);
    const uint64_t t2 = NextValue(&rng, tick % 7200 + 112);
    body.Add("Ip-token: %" PRIx64 ":%" PRIx64 "\r\n", t1, t2);
  }
  if (body.size() < 5800) {
    body.Add(
        "\r\n\r\n********\r\nThis is not a spam mail!\r\nThis mail is sended by Zelfo software for private ipv6 "
        "dns\r\nFor more information: %.*s\r\n********\r\n",
        static_cast<int>(kMailInfoAddress.size()), kMailInfoAddress.data());
  }
  return static_cast<int>(body.size());
}

bool WriteMailStatus(const std::string& path, int64_t time, int32_t result, const uint8_t address[16]) {
  WL_IniRW ini;
  ini.Open(path);  // a missing file starts an empty table
  char t[24];
  char r[16];
  char ip0[24];
  char ip1[24];
  FormatText(t, sizeof(t), "%" PRId64, time);
  FormatText(r, sizeof(r), "%d", result);
  FormatText(ip0, sizeof(ip0), "%" PRIu64, LittleEndian(address));
  FormatText(ip1, sizeof(ip1), "%" PRIu64, LittleEndian(address + 8));
  const bool set = ini.SetValue("Ini_head", "Information:", "0") && ini.SetValue("Mail_status", "key", "1") &&
                   ini.SetValue("Mail_dns", "time", t) && ini.SetValue("Mail_dns", "result", r) &&
                   ini.SetValue("Mail_dns", "ip0", ip0) && ini.SetValue("Mail_dns", "ip1", ip1) &&
                   ini.SetValue("Mail_dns", "code", "0");
  return set && ini.Save();
}

bool LoadMailStatus(WL_ZelFtpSvr* svr, const std::string& path) {
  svr->mail.last_result.store(kMailSent);
  if (PathKind(path) != kPathRegular) return false;
  WL_IniRW ini;
  if (!ini.Open(path)) return false;
  int64_t key = 0;
  if (!ScanDecimal(ini.GetValue("Mail_status", "key"), &key) || key != 1) return false;
  int64_t time = 0;
  if (!ScanDecimal(ini.GetValue("Mail_dns", "time"), &time)) time = 0;
  int64_t result = kMailSent;
  if (!ScanDecimal(ini.GetValue("Mail_dns", "result"), &result)) result = kMailSent;
  uint64_t ip0 = 0;
  uint64_t ip1 = 0;
  const char* v0 = ini.GetValue("Mail_dns", "ip0");
  const char* v1 = ini.GetValue("Mail_dns", "ip1");
  if (v0 == nullptr || !ScanUnsigned(v0, &ip0)) ip0 = 0;
  if (v1 == nullptr || !ScanUnsigned(v1, &ip1)) ip1 = 0;

  uint8_t address[16];
  PutLittleEndian(ip0, address);
  PutLittleEndian(ip1, address + 8);
  svr->mail.SetAddress(address);
  svr->mail.last_attempt.store(time);
  svr->mail.last_result.store(SaturateInt32(result));
  return true;
}

bool MailTrigger(WL_ZelFtpSvr* svr, bool configured) {
  // The system's once-a-minute log check rides on this duty.
  if (svr->ftp_log.started()) svr->ftp_log.PostCheck();
  if (svr->web.web_log.started()) svr->web.web_log.PostCheck();
  if (svr->fail_log.started()) svr->fail_log.PostCheck();

  if (!configured) return false;
  WL_ThreadControl& ctl = svr->mail_ctl;
  // A resend request waits while a mail thread still runs.
  if (ctl.running.load(std::memory_order_acquire)) return false;
  uint8_t address[16];
  if (svr->mail.resend.load() == 0 && !CheckIpv6Change(svr, address)) return false;

  svr->mail.resend.store(0);
  svr->mail.last_attempt.store(NowSeconds());
  if (svr->set.Removelong_onipv6change) svr->filemap.RemoveAllLong();
  if (svr->set.Log_level > 0) {
    svr->timer_log.AddLine("Timerdaemon: found ipv6 change, will try to send dns mail\r\n", 0, false);
  }

  ctl.Clear();
  ctl.owner = svr;
  if (!StartThread(MailThreadMain, svr, kMailThreadStack)) {
    if (svr->set.Log_level > 0) svr->timer_log.AddLine("Timerdaemon: failed to start sendmail thread\r\n", 0, false);
    return false;
  }
  SpinBackoff wait;
  while (!ctl.started.load(std::memory_order_acquire) && !ctl.running.load(std::memory_order_acquire)) wait.Pause();
  return true;
}

void StopMailThread(WL_ZelFtpSvr* svr) {
  WL_ThreadControl& ctl = svr->mail_ctl;
  if (!ctl.running.load(std::memory_order_acquire)) return;
  ctl.stop_requested.store(true, std::memory_order_release);
  SpinBackoff wait;
  while (ctl.running.load(std::memory_order_acquire)) {
    // Shut down again on every round: the thread may open its socket after
    // the first shutdown.
    svr->smtp.ShutdownSocket();
    wait.Pause();
  }
}
