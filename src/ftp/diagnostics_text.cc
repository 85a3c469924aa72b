// Status texts of the diagnostics commands: the session lines, the INFM
// reply, the snapshot file and the lock and thread check.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "accounts/account.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "core/server.h"
#include "daemons/io_daemon.h"
#include "ftp/diagnostics.h"
#include "ftp/session.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/proc_stats.h"
#include "platform/socket.h"

namespace {

constexpr int kVersionMajor = 4;
constexpr int kVersionMinor = 30;
constexpr int kReleaseYear = 2026;
constexpr int kReleaseMonth = 10;
constexpr int kReleaseDay = 1;
constexpr int kVersionCode = 1172;
constexpr int kReleaseDate = 202610;
// INFM adds no line once its text is longer than this.
constexpr size_t kInfmRoom = 2000;
// Plays from which a mapped item counts as a warning in INFM.
constexpr uint16_t kPlayWarning = 3000;
constexpr size_t kSnapBuffer = 4096;

// What the session lines show of a slot, copied out of it first: the slot
// belongs to its worker, which keeps changing it while we format.
struct SlotView {
  uint32_t session_id;
  int logged_in, login_method, mode_512, admin, mlsd, backup_mode, ctrl_tls, data_private, full_list;
  int econn_option, peer_local, https_first, session_key, joint_crc, access_level;
  int64_t bytes_received, bytes_sent;
  uint64_t failed_commands, recv_calls;
  unsigned wait_state, security_code, send_code;
  int xfer_held;
  int64_t start_time, last_activity;
  uint8_t peer[16];
  unsigned stage;
  int command_code, ctrl_socket, data_socket, cmd_len;
};

// The slot of a family's array in use, copied; false for an index outside
// the array, an absent array or a free slot. *absent tells an absent array.
bool CopySlot(WL_ZelFtpSvr* svr, int slot, bool is_ipv6, SlotView* v, bool* absent) {
  *absent = false;
  if (slot < 0 || slot >= svr->set.Max_users) return false;
  const WL_FtpSession* s = svr->Session(static_cast<uint32_t>(slot), is_ipv6 ? WL_ZelFtpSvr::kFamilyV6
                                                                             : WL_ZelFtpSvr::kFamilyV4);
  if (s == nullptr) {
    *absent = true;
    return false;
  }
  if (!s->in_use.load(std::memory_order_acquire)) return false;
  v->session_id = s->session_id;
  v->logged_in = s->logged_in ? 1 : 0;
  v->login_method = s->login_method;
  v->mode_512 = s->mode_option ? 1 : 0;
  v->admin = s->is_admin;
  v->mlsd = s->list_kind == 256 ? 1 : 0;
  v->backup_mode = s->backup_mode;
  v->ctrl_tls = s->ctrl_tls;
  v->data_private = s->data_private;
  v->full_list = s->full_list;
  v->econn_option = s->response_flag;
  v->peer_local = s->peer_local;
  v->https_first = s->tls_option;
  v->session_key = s->use_session_key;
  v->joint_crc = s->login_option;
  v->access_level = s->access_level;
  v->bytes_received = s->bytes_received;
  v->bytes_sent = s->bytes_sent;
  v->failed_commands = s->failed_commands;
  v->recv_calls = s->recv_calls;
  v->wait_state = s->wait_state;
  v->security_code = s->security_code;
  v->send_code = s->send_code;
  v->xfer_held = s->xfer_buf != nullptr ? 1 : 0;
  v->start_time = s->start_time;
  v->last_activity = s->last_activity;
  memcpy(v->peer, s->peer_addr, sizeof(v->peer));
  v->stage = s->stage;
  v->command_code = static_cast<int>(s->command_code);
  v->ctrl_socket = s->ctrl_socket.Get();
  v->data_socket = s->data_socket.Get();
  v->cmd_len = s->cmd_len;
  return true;
}

// The texts of a copied slot that the session lines share.
struct SlotTexts {
  char start[48];
  char activity[48];
  char peer[48];
};

void MakeTexts(const SlotView& v, bool is_ipv6, SlotTexts* t) {
  FormatLocalTime(v.start_time, t->start, sizeof(t->start));
  FormatLocalTime(v.last_activity, t->activity, sizeof(t->activity));
  // The address goes into a buffer of our own: the slot's texts are its
  // worker's scratch.
  AddressKeyText(v.peer, is_ipv6, t->peer, sizeof(t->peer));
}

int64_t Megabytes(uint64_t bytes) { return static_cast<int64_t>(bytes / 1048576); }

// The current size of a started log's file; 0 for a log that is not
// started or a file that cannot be measured.
uint64_t LogFileSize(const WL_DaemonLog& log) {
  uint64_t size = 0;
  if (!log.started() || !RegularFileSize(log.path(), &size)) return 0;
  return size;
}

bool IoDaemonRunning(const WL_ZelFtpSvr* svr) { return svr->io_ctl.running.load(std::memory_order_acquire); }
bool TimerDaemonRunning(const WL_ZelFtpSvr* svr) { return svr->timer_ctl.running.load(std::memory_order_acquire); }
bool BackupThreadRunning(const WL_ZelFtpSvr* svr) {
  return svr->backup_ctl.running.load(std::memory_order_acquire);
}
struct BackupFigures {
  int64_t bytes = 0;
  int32_t succeeded = 0;
  int32_t failed = 0;
};
BackupFigures BackupCounters(const WL_ZelFtpSvr* svr) {
  return {static_cast<int64_t>(svr->backup.bytes_copied.load()), static_cast<int32_t>(svr->backup.files_done.load()),
          static_cast<int32_t>(svr->backup.errors.load())};
}
int64_t IoJobsDone(const WL_ZelFtpSvr* svr) { return static_cast<int64_t>(svr->io.jobs_done.load()); }
// Jobs waiting for the IO daemon (read under the lock that guards the queue).
uint32_t IoQueueLength(WL_ZelFtpSvr* svr) { return static_cast<uint32_t>(IoJobsWaiting(svr)); }

bool MailThreadRunning(const WL_ZelFtpSvr* svr) { return svr->mail_ctl.running.load(std::memory_order_acquire); }

int CountInUse(WL_ZelFtpSvr* svr, uint8_t family) {
  int n = 0;
  for (int i = 0; i < svr->set.Max_users; ++i) {
    const WL_FtpSession* s = svr->Session(static_cast<uint32_t>(i), family);
    if (s == nullptr) return 0;
    if (s->in_use.load(std::memory_order_acquire)) ++n;
  }
  return n;
}

// The last mailed address as INFM and SNAP print it: "?" while all zero.
void MailAddressText(const WL_ZelFtpSvr* svr, char* out, size_t cap) {
  uint8_t addr[16];
  svr->mail.GetAddress(addr);
  static const uint8_t kZero[16] = {};
  if (memcmp(addr, kZero, 16) == 0) {
    FormatText(out, cap, "?");
  } else {
    Ipv6ToText(addr, out, cap);
  }
}

// The firewall part of INFM's firewall line.
struct WallFigures {
  const char* state;
  int v4, v6;
  uint32_t blocked_v4, blocked_v6, size;
};

WallFigures WallOf(WL_IPFireWall& wall) {
  const bool on = wall.active();
  return {on ? "enable" : "disable", wall.ipv4_enabled ? 4 : 0, wall.ipv6_enabled ? 6 : 0,
          on ? wall.BlockedCount(true) : 0, on ? wall.BlockedCount(false) : 0, wall.table_size};
}

}  // namespace

int SessionDetailLine(WL_ZelFtpSvr* svr, int slot, bool is_ipv6, char* buf, size_t size) {
  if (slot < 0 || slot >= svr->set.Max_users) return FormatText(buf, size, "450 out of range\r\n");
  SlotView v;
  bool absent;
  if (!CopySlot(svr, slot, is_ipv6, &v, &absent)) {
    return FormatText(buf, size, absent ? "450 not ready\r\n" : "450 session not active\r\n");
  }
  SlotTexts t;
  MakeTexts(v, is_ipv6, &t);
  return FormatText(
      buf, size,
      "200 %d[%x] login:%s login type:%d_%d admin:%d mlsd:%d backup mode:%d cmd ssl:%d data ssl:%d cmd protect:%d "
      "ftp mode:%d con_res:%d local:%d https first:%d http_ext:%d joint_crc:%d level:%d download:%" PRId64
      ": upload:%" PRId64 " bad cmd times:%" PRId64 "(%" PRId64 ") debug code:%u %u-%u xptr:%d time:%s cmd time:%s "
      "from:%s wait_times:%" PRId64 " (ext:%hu cmd:%d) socket=%d:%d max seconds=%" PRId64 " wait_size=%d\r\n",
      slot, v.session_id, v.logged_in ? "Yes" : "No", v.login_method, v.mode_512, v.admin, v.mlsd, v.backup_mode,
      v.ctrl_tls, v.data_private, 0, v.full_list, v.econn_option, v.peer_local, v.https_first, v.session_key,
      v.joint_crc, v.access_level, v.bytes_received, v.bytes_sent, static_cast<int64_t>(v.failed_commands),
      int64_t{0}, v.wait_state, v.security_code, v.send_code, v.xfer_held, t.start, t.activity, t.peer,
      static_cast<int64_t>(v.recv_calls), static_cast<unsigned short>(v.stage), v.command_code, v.ctrl_socket,
      v.data_socket, svr->set.File_transfertimeout, v.cmd_len);
}

int SessionDumpLine(WL_ZelFtpSvr* svr, int slot, bool is_ipv6, char* buf) {
  SlotView v;
  bool absent;
  if (!CopySlot(svr, slot, is_ipv6, &v, &absent)) return 0;
  SlotTexts t;
  MakeTexts(v, is_ipv6, &t);
  const int n = FormatText(
      buf, 1001,
      "200-%d[%x] login:%s login type:%d_%d socket:%d admin:%d mlsd:%d backup mode:%d cmd ssl:%d data ssl:%d "
      "cmd protect:%d ftp mode:%d con_res:%d local:%d https first:%d http_ext:%d joint_crc:%d level:%d download:%" PRId64
      ": upload:%" PRId64 " bad cmd times:%" PRId64 "(%" PRId64 ") debug code:%u %u-%u xptr:%d time:%s cmd time:%s "
      "from:%s wait_times:%" PRId64 " (ext:%hu cmd:%d)\r\n",
      slot, v.session_id, v.logged_in ? "Yes" : "No", v.login_method, v.mode_512, v.ctrl_socket < 0 ? -1 : 1, v.admin,
      v.mlsd, v.backup_mode, v.ctrl_tls, v.data_private, 0, v.full_list, v.econn_option, v.peer_local, v.https_first,
      v.session_key, v.joint_crc, v.access_level, v.bytes_received, v.bytes_sent,
      static_cast<int64_t>(v.failed_commands), int64_t{0}, v.wait_state, v.security_code, v.send_code, v.xfer_held,
      t.start, t.activity, t.peer, static_cast<int64_t>(v.recv_calls), static_cast<unsigned short>(v.stage),
      v.command_code);
  return n < 0 ? 0 : n;
}

bool BuildInfmText(WL_ZelFtpSvr* svr, WL_InfmText* out) {
  const WL_Settings& set = svr->set;
  // 1. The figures.
  const int64_t now = NowSeconds();
  int64_t uptime = now - svr->start_time;
  if (uptime < 0) uptime = 0;
  int64_t mail_hours = (now - svr->mail.last_attempt.load()) / 3600;
  if (mail_hours < 0) mail_hours = 0;
  if (mail_hours > 10000) mail_hours = 10000;
  char started[48];
  FormatLocalTime(svr->start_time, started, sizeof(started));
  WL_ProcessMemory memory;
  ReadProcessMemory(&memory);
  int64_t cpu_ms = ProcessCpuMillis();
  if (cpu_ms < 0) cpu_ms = 0;
  int64_t clock_ms = ProcessClockMillis();
  if (clock_ms < 0) clock_ms = 0;
  const int64_t available = AvailableMemoryBytes();
  double cpu_share = 0;
  if (uptime >= 1) {
    cpu_share = static_cast<double>(cpu_ms) / (static_cast<double>(uptime) * 10.0);
    if (cpu_share < 0) cpu_share = 0;
    if (cpu_share > 100) cpu_share = 100;
  }
  char pool_text[240];
  if (svr->mempool.MemStatusText(pool_text, sizeof(pool_text)) <= 0) FormatText(pool_text, sizeof(pool_text), "0");
  int64_t descriptors = CountOpenDescriptors();
  if (descriptors < 0) descriptors = 0;

  // 2. The lines; none is added once the text passes the room.
  out->clear();
  auto full = [&] { return out->size() > kInfmRoom; };
  WL_WebSvr& web = svr->web;
  if (!out->AppendFormat("200-zelfo server [w] %d.%02d release:%d.%d.%d(%d)\r\n", kVersionMajor, kVersionMinor,
                         kReleaseYear, kReleaseMonth, kReleaseDay, kVersionCode)) {
    return false;
  }
  if (!full() && !out->AppendFormat("200-ftp port:%hu-%hu implicit mode:%d[%hu:%hu] fixed data port:%hu-%hu http "
                                    "stream:%hu-%hu ssl %hu-%hu\r\n",
                                    set.Service_portv4, set.Service_portv6, set.Implicit_mode ? 1 : 0,
                                    set.Service_implicitv4, set.Service_implicitv6, set.Econ_portv4, set.Econ_portv6,
                                    web.http_port_v4, web.http_port_v6, web.https_port_v4, web.https_port_v6)) {
    return false;
  }
  if (!full() &&
      !out->AppendFormat("200-ftp ipv4:%d(%d) ipv6:%d(%d) max ftp user:%d active %d:%d connect:%" PRId64
                         " login succ:%" PRId64 " fail:%" PRId64 " handle:%u unsafe limit pasv port range:%u\r\n",
                         set.Service_enablev4 ? 1 : 0, set.Service_ipv4tls ? 1 : 0, set.Service_enablev6 ? 1 : 0,
                         set.Service_ipv6tls ? 1 : 0, static_cast<int>(set.Max_users),
                         CountInUse(svr, WL_ZelFtpSvr::kFamilyV4), CountInUse(svr, WL_ZelFtpSvr::kFamilyV6),
                         static_cast<int64_t>(svr->total_connects.load()), static_cast<int64_t>(svr->login_count.load()),
                         static_cast<int64_t>(svr->login_fail_count.load()), static_cast<unsigned>(descriptors),
                         set.Unsafe_limitrandomepasvportnum)) {
    return false;
  }
  int64_t sent, received;
  {
    std::lock_guard<WL_Lock> hold(svr->totals_lock);
    sent = static_cast<int64_t>(svr->total_bytes_sent);
    received = static_cast<int64_t>(svr->total_bytes_received);
  }
  if (!full() && !out->AppendFormat("200-ftp down:%" PRId64 " up:%" PRId64 " connect:%" PRId64 " deny:%" PRId64
                                    " disk error: %" PRId64 ":%" PRId64 "\r\n",
                                    sent, received, static_cast<int64_t>(svr->total_connects.load()),
                                    static_cast<int64_t>(svr->full_rejects_v6.load() + svr->full_rejects_v4.load()),
                                    svr->file_read_errors.load() + web.disk_errors.load(),
                                    svr->file_write_errors.load())) {
    return false;
  }
  if (!full() && !out->AppendFormat("200-ftp option: list extend:%d auto release map:%d no internet map:%d bbs:%d "
                                    "extend security:%d(%" PRId64 ") temp_account:%d active account:%d [max pos:%d]\r\n",
                                    set.List_compatible ? 1 : 0, set.Ftp_autoremovelastmap ? 1 : 0,
                                    set.No_internetmap ? 1 : 0, set.Bbs_enable ? 1 : 0, set.Extend_security ? 1 : 0,
                                    svr->extend_security_count.load(), svr->temp_account.load() ? 1 : 0,
                                    svr->accounts.InUseCount(), svr->accounts.scan_bound())) {
    return false;
  }
  // The reply dialect and the per-address bound, and the hash command count.
  if (!full() && !out->AppendFormat("200-ftp reply style:%d max ipconnects:%d file hash:%" PRId64 "\r\n",
                                    set.Reply_style, set.Max_ipconnects, svr->file_hash_count.load())) {
    return false;
  }
  if (!full() && !out->AppendFormat("200-http stream max user:%d active:%d:%d transfer:%" PRId64 " connect:%" PRId64
                                    " deny: %" PRId64 "\r\n",
                                    web.session_count, web.ActiveSessions(true), web.ActiveSessions(false),
                                    web.BytesSentTotal(), web.accepted.load(), web.full_refusals.load())) {
    return false;
  }
  if (!full() && !out->AppendFormat("200-memory pool: %s\r\n", pool_text)) return false;
  if (!full() && !out->AppendFormat("200-system memory:%" PRId64 " :%" PRId64 " :%" PRId64 " CPU:%" PRId64
                                    ".%03d [%" PRId64 ".%03d] (%" PRId64 ": %.4f%%)\r\n",
                                    memory.resident_bytes, memory.peak_resident_bytes, available, cpu_ms / 1000,
                                    static_cast<int>(cpu_ms % 1000), clock_ms / 1000, static_cast<int>(clock_ms % 1000),
                                    uptime, cpu_share)) {
    return false;
  }
  WL_EFtpCon& econn = svr->econn;
  if (!full() && !out->AppendFormat("200-econn accept:%" PRId64 ":%" PRId64 " deny:%" PRId64 ":%" PRId64
                                    " call:%" PRId64 "\r\n",
                                    static_cast<int64_t>(econn.accepted(true)), static_cast<int64_t>(econn.accepted(false)),
                                    static_cast<int64_t>(econn.denied(true)), static_cast<int64_t>(econn.denied(false)),
                                    static_cast<int64_t>(econn.calls()))) {
    return false;
  }
  char mailed[48];
  MailAddressText(svr, mailed, sizeof(mailed));
  if (!full() && !out->AppendFormat("200-ipv6 mail dns:%d[%s] hour:%d mode=%s last result:%d [succ:%" PRId64
                                    " fail:%" PRId64 " zero:%" PRId64 " code=%d] %s\r\n",
                                    set.Enable_Sendmail ? 1 : 0, MailThreadRunning(svr) ? "active" : "--",
                                    static_cast<int>(mail_hours), set.Probe_Enum ? "enum" : "con",
                                    svr->mail.last_result.load(), static_cast<int64_t>(svr->mail.sent_count.load()),
                                    static_cast<int64_t>(svr->mail.failed_count.load()),
                                    static_cast<int64_t>(svr->mail.idle_count.load()), svr->smtp.mail_error_code(),
                                    mailed)) {
    return false;
  }
  const BackupFigures backup = BackupCounters(svr);
  if (!full() && !out->AppendFormat("200-auto backup:%d[%s] bytes:%" PRId64 " succ:%d fail:%d\r\n",
                                    set.Enable_backup ? 1 : 0, BackupThreadRunning(svr) ? "active" : "--",
                                    backup.bytes, backup.succeeded, backup.failed)) {
    return false;
  }
  // Nothing raises the IO byte counter: it reads 0.
  if (!full() && !out->AppendFormat("200-io daemon:[%s] bytes:%" PRId64 " list size:%u\r\n",
                                    IoDaemonRunning(svr) ? "active" : "--", int64_t{0}, IoQueueLength(svr))) {
    return false;
  }
  if (!full()) {
    char pool_status[513];
    if (svr->pool.PoolStatusText(pool_status, sizeof(pool_status), false) < 0) return false;
    if (!out->AppendFormat("200-%s\r\n", pool_status)) return false;
  }
  if (!full() && !out->AppendFormat("200-file map max: %u active: %u long: %u warning:%u\r\n",
                                    static_cast<unsigned>(svr->filemap.TableCount()),
                                    static_cast<unsigned>(svr->filemap.normal_count()),
                                    static_cast<unsigned>(svr->filemap.long_count()),
                                    static_cast<unsigned>(svr->filemap.CountPlayedAtLeast(kPlayWarning)))) {
    return false;
  }
  if (!full()) {
    const WallFigures f = WallOf(svr->firewall);
    const WallFigures h = WallOf(web.firewall);
    if (!out->AppendFormat("200-ftp firewall:%s (ip %d:%d) black ip num:%u-%u list:%u http firewall:%s (ip %d:%d) "
                           "black ip num:%u-%u list:%u random response:%d\r\n",
                           f.state, f.v4, f.v6, f.blocked_v4, f.blocked_v6, f.size, h.state, h.v4, h.v6, h.blocked_v4,
                           h.blocked_v6, h.size, set.Random_failresponse ? 1 : 0)) {
      return false;
    }
  }
  if (!full() && !out->AppendFormat("200-command protect:%d command channel:%d joint crc:%d error:%" PRId64
                                    " log level:%d\r\n",
                                    set.Command_protect, set.No_cmdextend ? 0 : 1, set.Ftp_jointcrc ? 1 : 0,
                                    svr->joint_checksum_errors.load(), set.Log_level)) {
    return false;
  }
  if (!full() && !out->AppendFormat("200-Daemon log size limit:%" PRId64 "MB, real: %" PRId64 "MB %" PRId64
                                    "MB %" PRId64 "MB ftp:%" PRId64 "MB web:%" PRId64 "MB\r\n",
                                    set.Log_maxsize / 1048576, Megabytes(svr->ftp_log.total()),
                                    Megabytes(svr->fail_log.total()), Megabytes(web.web_log.total()),
                                    Megabytes(LogFileSize(svr->ftp_log)), Megabytes(LogFileSize(web.web_log)))) {
    return false;
  }
  // 3. The closing line always follows.
  return out->AppendFormat("200 service start: %s\r\n", started);
}

std::string SnapshotFileName(uint32_t slot, uint32_t tick, int64_t now) {
  char when[48];
  if (FormatLocalTime(now, when, sizeof(when)) < 0) when[0] = '\0';
  for (char* c = when; *c != '\0'; ++c) {
    if (*c == ' ' || *c == '/' || *c == ':' || *c == '?' || *c == '|') *c = '_';
  }
  char name[255];
  if (FormatText(name, sizeof(name), "_Snap_%u_%x_%s.txt", slot, tick, when) < 0) {
    FormatText(name, sizeof(name), "_Snap_%u_%x_err.txt", slot, GetTickCount());
  }
  return name;
}

namespace {

// Writes formatted lines into the snapshot file through one heap buffer.
// The first failure sticks: later lines are not written.
class SnapWriter {
 public:
  SnapWriter(FILE* f, char* buf) : f_(f), buf_(buf) {}

  bool ok() const { return ok_; }
  char* buffer() { return buf_; }
  void Fail() { ok_ = false; }

  // Writes the first length bytes of the buffer (nothing for length <= 0).
  void WriteBuffer(int length) {
    if (!ok_ || length <= 0) return;
    if (WriteFile(f_, buf_, static_cast<size_t>(length)) != static_cast<size_t>(length)) ok_ = false;
  }
  void Line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!ok_) return;
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(buf_, kSnapBuffer, fmt, ap);
    va_end(ap);
    WriteBuffer(n);
  }

 private:
  FILE* f_;
  char* buf_;
  bool ok_ = true;
};

}  // namespace

bool WriteSnapshot(WL_ZelFtpSvr* svr, const std::string& path) {
  // 1.
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kSnapBuffer]);
  if (!buf) return false;
  FILE* f = OpenFile(path, "wb");
  if (f == nullptr) return false;
  SnapWriter w(f, buf.get());
  char when[48];
  FormatLocalTime(NowSeconds(), when, sizeof(when));
  // 2.
  w.Line("Zelfo_Snap_time:%s version code:%d release date:%d\r\n", when, kVersionCode, kReleaseDate);
  // 3.
  for (const bool is_ipv6 : {false, true}) {
    for (int i = 0; i < svr->set.Max_users && w.ok(); ++i) {
      const WL_FtpSession* s = svr->Session(static_cast<uint32_t>(i), is_ipv6 ? WL_ZelFtpSvr::kFamilyV6
                                                                               : WL_ZelFtpSvr::kFamilyV4);
      if (s == nullptr) break;
      if (!s->in_use.load(std::memory_order_acquire)) continue;
      const int n = SessionDetailLine(svr, i, is_ipv6, w.buffer(), 2049);
      if (n > 0 && strncmp(w.buffer(), "200 ", 4) == 0) w.WriteBuffer(n);
    }
  }
  // 4. The texts of records in use start with "200 ".
  const int records = svr->web.SessionRecords();
  for (int i = 0; i < records && w.ok(); ++i) {
    const int n = svr->web.SessionText(i, w.buffer(), 2049);
    if (n > 0 && strncmp(w.buffer(), "200 ", 4) == 0) w.WriteBuffer(n);
  }
  const int items = svr->filemap.TableCount();
  for (int i = 0; i < items && w.ok(); ++i) {
    WL_MapItem item;
    if (!svr->filemap.CopyItem(i, &item) || !item.in_use) continue;
    w.WriteBuffer(svr->filemap.ItemText(i, w.buffer(), 2049));
  }
  // 5.
  w.Line("Lock check result:%d\r\n", LockCheck(svr));
  // 6.
  w.Line("Disk rw error :%" PRId64 ":%" PRId64 "\r\n", svr->file_read_errors.load(), svr->file_write_errors.load());
  w.Line("Fatal error :%" PRId64 "\r\n", static_cast<int64_t>(svr->bad_task_count.load()));
  w.Line("Hash times :%" PRId64 "\r\n", svr->file_hash_count.load());
  w.Line("Remote io times :%" PRId64 " io bytes:%" PRId64 "\r\n", IoJobsDone(svr), int64_t{0});
  // 7.
  int64_t sent, received;
  {
    std::lock_guard<WL_Lock> hold(svr->totals_lock);
    sent = static_cast<int64_t>(svr->total_bytes_sent);
    received = static_cast<int64_t>(svr->total_bytes_received);
  }
  w.Line("Ftp total connect times :%" PRId64 "\r\n", static_cast<int64_t>(svr->total_connects.load()));
  w.Line("Ftp download and upload :%" PRId64 ":%" PRId64 "\r\n", sent, received);
  w.Line("Ftp session full (v4 and v6) :%" PRId64 ":%" PRId64 "\r\n", static_cast<int64_t>(svr->full_rejects_v4.load()),
         static_cast<int64_t>(svr->full_rejects_v6.load()));
  w.Line("Ftp login success and fail :%" PRId64 ":%" PRId64 "\r\n", static_cast<int64_t>(svr->login_count.load()),
         static_cast<int64_t>(svr->login_fail_count.load()));
  w.Line("Ftp thread full times :%" PRId64 "\r\n", static_cast<int64_t>(svr->no_worker_rejects.load()));
  w.Line("Ftp joint crc fail times :%" PRId64 "\r\n", svr->joint_checksum_errors.load());
  // 8.
  w.Line("Dns mail result :%d[%d]\r\nFtp bad login ip list:...\r\n", svr->mail.last_result.load(),
         svr->smtp.mail_error_code());
  if (w.ok()) {
    w.WriteBuffer(svr->records[WL_ZelFtpSvr::kRecLoginFail].SortedText(w.buffer(), 4001, true, 32));
  }
  // 9.
  WL_WebSvr& web = svr->web;
  w.Line("Http stream connect :%" PRId64 " connect full times:%" PRId64 "\r\n", web.accepted.load(),
         web.full_refusals.load());
  w.Line("Http stream disk errors :%" PRId64 "\r\n", web.disk_errors.load());
  w.Line("Http stream transfer :%" PRId64 "\r\n", web.BytesSentTotal());
  w.Line("Http stream fatal errors :%" PRId64 "\r\n", web.fatal_errors.load());
  w.Line("Http stream thread full times :%" PRId64 "\r\n", web.no_worker_refusals.load());
  // 10.
  if (BackupThreadRunning(svr)) w.Line("Backup thread is active\r\n");
  if (MailThreadRunning(svr)) w.Line("Dns mail thread is active\r\n");
  // 11.
  if (svr->set.Enable_Sendmail && w.ok()) {
    char mailed[48], attempt[48];
    uint8_t addr[16];
    svr->mail.GetAddress(addr);
    Ipv6ToText(addr, mailed, sizeof(mailed));
    const int64_t last = svr->mail.last_attempt.load();
    FormatLocalTime(last < 1 ? 0 : last, attempt, sizeof(attempt));
    w.Line("Dns last ipv6 address=%s result=%d time=%s succ:%" PRId64 " fail:%" PRId64 " :zero:%" PRId64
           " last code=%d\r\n",
           mailed, svr->mail.last_result.load(), attempt, static_cast<int64_t>(svr->mail.sent_count.load()),
           static_cast<int64_t>(svr->mail.failed_count.load()), static_cast<int64_t>(svr->mail.idle_count.load()),
           svr->smtp.mail_error_code());
    uint8_t local[16][16];
    uint32_t scopes[16] = {};
    char error[128] = "";
    int count = ListLocalIpv6(local, error, scopes);
    if (count < 0) count = 0;
    if (count > 16) count = 16;
    w.Line("Enum local ipv6 address return value:%d [%s]\r\n", count, error[0] != '\0' ? error : "-");
    for (int i = 0; i < count; ++i) {
      char text[48];
      Ipv6ToText(local[i], text, sizeof(text));
      w.Line("Enum %d ipv6=%s ip type=%d scope id=%u\r\n", i, text, ClassifyIpv6(local[i]), scopes[i]);
    }
  }
  // 12.
  if (w.ok()) w.WriteBuffer(svr->pool.PoolStatusText(w.buffer(), 1001, true));
  // 13.
  w.Line("========End of zelfo service snap========\r\n");
  // 14. A write the stream kept back fails at the flush or the close.
  bool ok = w.ok();
  if (!FlushFile(f)) ok = false;
  if (!CloseFileChecked(f)) ok = false;
  return ok;
}

int32_t LockCheck(WL_ZelFtpSvr* svr) {
  auto free_lock = [](WL_Lock& l) {
    if (!l.TryEnter()) return false;
    l.Leave();
    return true;
  };
  if (!free_lock(svr->account_lock)) return kLockAccount;
  if (!free_lock(svr->totals_lock)) return kLockTotals;
  switch (svr->pool.TryLocks()) {
    case 1:
      return kLockPoolState;
    case 2:
      return kLockPoolLog;
    default:
      break;
  }
  if (!svr->filemap.TryItemLock()) return kLockFileMap;
  if (!svr->web.TryServiceLock()) return kLockWeb;
  if (!svr->econn.TryFamilyLock(true)) return kLockEconnV4;
  if (!svr->econn.TryFamilyLock(false)) return kLockEconnV6;
  if (!svr->mempool.TryClassLocks()) return kLockMemPool;
  if (!svr->listener_ctl.running.load(std::memory_order_acquire)) return kThreadListener;
  if (!IoDaemonRunning(svr)) return kThreadIoDaemon;
  if (!TimerDaemonRunning(svr)) return kThreadTimerDaemon;
  if (!svr->web.main_running()) return kThreadWebMain;
  if (!svr->pool.ManagerRunning()) return kThreadPoolManager;
  if (!svr->econn.AnyThreadRunning()) return kThreadEconn;
  return kLockOk;
}
