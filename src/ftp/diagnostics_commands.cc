// The administrator's diagnostics commands: INFM (and INFO), DUMP, KILL and
// SNAP. They read the other components through their status texts
// (diagnostics.h); KILL only asks a session to end.
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "accounts/account.h"
#include "base/net_text.h"
#include "base/time_text.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/diagnostics.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "platform/clock.h"

namespace {

constexpr char kDumpUsage[] =
    "450-usage: dump service ip-protocol [postion]\r\n450-service 0=ftp session list\r\n450-service 1=http session "
    "list\r\nservice 2=mapfile list\r\n450-service 3=thread pool list\r\n450-service 4=ftp ip wall list\r\n450-service "
    "5=http ip wall list\r\n450-service 6=ftp login fail list\r\n450-service 7=ftp connect list\r\n450-service 8=http "
    "connect list\r\n450-service 9=ftp success lonin list\r\n450-service 10=http normal vistor list\r\n450-service "
    "11=ftp download and upload list[6:upload]\r\n450-service 12=econn session list\r\n450-Exp:dump 0 6\r\n450-Exp:dump "
    "7 4\r\n450 .\r\n";
constexpr char kKillUsage[] = "450-usage: kill type position\r\n450-type 1=ftp ipv4 type 2=ftp ipv6 3=http\r\n450 .\r\n";

// Room of one list line (1000 characters and the terminator).
constexpr size_t kLineRoom = 1001;

bool HandleInfm(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!BuildInfmText(svr, &s.reply_buf) ||
      !SendControl(svr, s, s.reply_buf.c_str(), static_cast<int>(s.reply_buf.size()), kReplyTimeout, true)) {
    s.close_flag.store(true);
    return false;
  }
  return true;
}

// The account list line of DUMP 14; 0 for a slot not in use.
int AccountLine(WL_ZelFtpSvr* svr, int index, char* buf) {
  const WL_AccountRecord& a = svr->accounts.GetAccount(index);
  if (!a.in_use) return 0;
  // Login writes the last-login fields under the account lock.
  int64_t last;
  char where[48];
  {
    std::lock_guard<WL_Lock> hold(svr->account_lock);
    last = a.last_login_time;
    AddressKeyText(a.last_login_addr, a.last_login_ipv6 != 0, where, sizeof(where));
  }
  char when[48];
  FormatLocalTime(last, when, sizeof(when));
  const int n = FormatText(buf, kLineRoom,
                           "200-Account type=%s username=%s login ip:%s at %s ,backup mode=%s level=%d [%d]\r\n",
                           a.role_name.c_str(), a.user_name.c_str(), where, when, a.BackupReady() ? "yes" : "no",
                           a.local_level, a.outside_level);
  return n < 0 ? 0 : n;
}

// The worker line of DUMP 3; 0 for a record that does not run.
int WorkerLine(WL_ZelFtpSvr* svr, uint32_t index, char* buf) {
  const WL_WorkerRecord* r = svr->pool.Record(index);
  if (r == nullptr || !r->running.load()) return 0;
  const char* state;
  switch (r->state.load()) {
    case kWorkerStarting:
      state = "In_start_1";
      break;
    case kWorkerKilling:
      state = "In_killing";
      break;
    case kWorkerWaiting:
      state = "Pool_wait";
      break;
    case kWorkerBusy:
      state = "Task_busy";
      break;
    default:
      state = "Status_unknown";
      break;
  }
  const int n = FormatText(buf, kLineRoom, "200-thread %d id=%u [unique=%x] status=%s type=%d kill=%d\r\n",
                           static_cast<int>(index), r->thread_id.load(), r->unique_tag.load(), state,
                           r->task_kind == WL_ZelfoThreadPool::kTaskFtp ? 1 : 0, r->stop.load() ? 1 : 0);
  return n < 0 ? 0 : n;
}

// The number of entries DUMP walks for a service.
int EntriesOf(WL_ZelFtpSvr* svr, int service, bool v6) {
  WL_WebSvr& web = svr->web;
  switch (service) {
    case 0:
      return svr->set.Max_users;
    case 1:
      return web.SessionRecords();
    case 2:
      return svr->filemap.TableCount();
    case 3:
      // Workers are listed only while the pool runs normally.
      return svr->pool.HasTable() && svr->pool.ManagerRunning() && !svr->pool.Stopping()
                 ? static_cast<int>(svr->pool.table_size)
                 : 0;
    case 4:
      return static_cast<int>(svr->firewall.table_size);
    case 5:
      return static_cast<int>(web.firewall.table_size);
    case 6:
      return svr->records[WL_ZelFtpSvr::kRecLoginFail].count();
    case 7:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecConnV6 : WL_ZelFtpSvr::kRecConnV4].count();
    case 8:
      return (v6 ? web.connect_v6 : web.connect_v4).count();
    case 9:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecLoginV6 : WL_ZelFtpSvr::kRecLoginV4].count();
    case 10:
      return web.visitors.count();
    case 11:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecUpload : WL_ZelFtpSvr::kRecDownload].count();
    case 12:
      return WL_EFtpCon::kWaitEntries;
    case 13:
      return WL_EFtpCon::kPendingEntries;
    default:  // 14
      return WL_FtpAccount::kSlots;
  }
}

int DumpLine(WL_ZelFtpSvr* svr, int service, bool v6, int i, char* buf) {
  WL_WebSvr& web = svr->web;
  const uint32_t u = static_cast<uint32_t>(i);
  switch (service) {
    case 0:
      return SessionDumpLine(svr, i, v6, buf);
    case 1:
      return web.SessionListLine(i, buf);
    case 2:
      return svr->filemap.ItemListLine(i, buf);
    case 3:
      return WorkerLine(svr, u, buf);
    case 4:
      return svr->firewall.ListLine(u, v6, buf, kLineRoom);
    case 5:
      return web.firewall.ListLine(u, v6, buf, kLineRoom);
    case 6:
      return svr->records[WL_ZelFtpSvr::kRecLoginFail].RecordLine(i, buf, kLineRoom);
    case 7:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecConnV6 : WL_ZelFtpSvr::kRecConnV4].RecordLine(i, buf, kLineRoom);
    case 8:
      return (v6 ? web.connect_v6 : web.connect_v4).RecordLine(i, buf, kLineRoom);
    case 9:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecLoginV6 : WL_ZelFtpSvr::kRecLoginV4].RecordLine(i, buf, kLineRoom);
    case 10:
      return web.visitors.RecordLine(i, buf, kLineRoom);
    case 11:
      return svr->records[v6 ? WL_ZelFtpSvr::kRecUpload : WL_ZelFtpSvr::kRecDownload].RecordLine(i, buf, kLineRoom);
    case 12:
      return svr->econn.WaitLine(u, v6, buf);
    case 13:
      return svr->econn.PendingLine(u, v6, buf);
    default:  // 14
      return AccountLine(svr, i, buf);
  }
}

// DUMP's single mode: one record in detail.
bool DumpOne(WL_ZelFtpSvr* svr, WL_FtpSession& s, int service, bool v6, int position) {
  char text[2049];
  int n;
  switch (service) {
    case 0:
      n = SessionDetailLine(svr, position, v6, text, sizeof(text));
      break;
    case 1:
      n = svr->web.SessionText(position, text, kLineRoom);
      break;
    case 2:
      n = svr->filemap.ItemText(position, text, kLineRoom);
      break;
    default:
      return ReplyText(svr, s, "450 bad parameter\r\n");
  }
  if (n <= 0) {
    s.close_flag.store(true);
    return false;
  }
  return ReplyText(svr, s, std::string_view(text, static_cast<size_t>(n)));
}

// DUMP's list mode: each line goes out as it is made, until the lines
// reach the limit; the closing line tells whether the walk was cut.
bool DumpList(WL_ZelFtpSvr* svr, WL_FtpSession& s, int service, bool v6) {
  if (service < 0 || service > 14) return ReplyText(svr, s, "450 type out of range\r\n");
  const size_t limit = svr->set.Limit_4kbuff ? 4000 : 6000;
  const int entries = EntriesOf(svr, service, v6);
  size_t total = 0;
  bool cut = false;
  char line[kLineRoom + 8];
  for (int i = 0; i < entries; ++i) {
    const int n = DumpLine(svr, service, v6, i, line);
    if (n <= 0) continue;
    total += static_cast<size_t>(n);
    if (total >= limit) {
      cut = true;
      break;
    }
    if (!ReplyText(svr, s, std::string_view(line, static_cast<size_t>(n)))) return false;
  }
  const char* end = cut ? "..." : ".";
  const int number = v6 ? 6 : 4;
  switch (service) {
    case 0:
      return Reply(svr, s, "200 ftp ipv%d session list %s\r\n", number, end);
    case 1:
      return Reply(svr, s, "200 http session list %s\r\n", end);
    case 2:
      return Reply(svr, s, "200 mapfile list %s\r\n", end);
    case 3:
      return Reply(svr, s, "200 thread pool list %s\r\n", end);
    case 4:
      return Reply(svr, s, "200 ftp ip_wall list %s\r\n", end);
    case 5:
      return Reply(svr, s, "200 http ip_wall list %s\r\n", end);
    case 6:
      return Reply(svr, s, "200 ftp bad login ip list %s\r\n", end);
    case 7:
      return Reply(svr, s, "200 ftp connect (%d) list %s\r\n", number, end);
    case 8:
      return Reply(svr, s, "200 http connect (%d) list %s\r\n", number, end);
    case 9:
      return Reply(svr, s, "200 ftp success login (%d) list %s\r\n", number, end);
    case 10:
      return Reply(svr, s, "200 http normal vistor list %s\r\n", end);
    case 11:
      return Reply(svr, s, "200 ftp %s operation list %s\r\n", v6 ? "upload" : "download", end);
    case 12:
      return Reply(svr, s, "200 econn session list (%d) %s\r\n", number, end);
    case 13:
      return Reply(svr, s, "200 econn wait session list (%d) %s\r\n", number, end);
    default:  // 14
      return Reply(svr, s, "200 ftp account list %s temp_account:%d\r\n", end, svr->temp_account.load() ? 1 : 0);
  }
}

bool HandleDump(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (*arg == '\0') return ReplyText(svr, s, kDumpUsage);
  int64_t v[3] = {0, 0, 0};
  const int read = ScanFields(arg, "ddd", v);
  if (read < 2) return ReplyText(svr, s, "450 usage: dump service  ip-protocol postion\r\n");
  const int service = static_cast<int>(v[0]);
  const bool v6 = v[1] == 6;
  if (read == 3) return DumpOne(svr, s, service, v6, static_cast<int>(v[2]));
  return DumpList(svr, s, service, v6);
}

bool HandleKill(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  int64_t v[2] = {0, 0};
  if (ScanFields(arg, "dd", v) != 2 || v[0] < 1 || v[0] > 3 || v[1] < 0) return ReplyText(svr, s, kKillUsage);
  const int type = static_cast<int>(v[0]);
  const int position = static_cast<int>(v[1]);
  if (type == 3) {
    switch (svr->web.StopSession(position)) {
      case 1:
        return ReplyText(svr, s, "203 done\r\n");
      case 0:
        return ReplyText(svr, s, "200 skipped\r\n");
      default:
        return ReplyText(svr, s, "550 out of range\r\n");
    }
  }
  const bool v4 = type == 1;
  const bool enabled = v4 ? svr->set.Service_enablev4 != 0 : svr->set.Service_enablev6 != 0;
  WL_FtpSession* target = position < svr->set.Max_users && enabled
                              ? svr->Session(static_cast<uint32_t>(position),
                                             v4 ? WL_ZelFtpSvr::kFamilyV4 : WL_ZelFtpSvr::kFamilyV6)
                              : nullptr;
  if (target == nullptr) return ReplyText(svr, s, "550 out of range\r\n");
  if (!target->in_use.load(std::memory_order_acquire)) return ReplyText(svr, s, "200 skipped\r\n");
  // As the stop sequence does: the flag, and the sockets shut down so that
  // the owner's waits return; the owner alone closes them. Aimed at this
  // session itself, the reply cannot go out and the session ends.
  target->close_flag.store(true);
  target->ctrl_socket.ShutdownByOther();
  target->data_socket.ShutdownByOther();
  return ReplyText(svr, s, v4 ? "201 done\r\n" : "202 done\r\n");
}

bool HandleSnap(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = AdminGate(svr, s);
  if (gate <= 0) return gate == 0;
  const std::string name = SnapshotFileName(s.slot_index, GetTickCount(), NowSeconds());
  const std::string dir = svr->set.Log_path.empty() ? svr->install_dir + "config/" : svr->set.Log_path + "/";
  if (WriteSnapshot(svr, dir + name)) return Reply(svr, s, "200 snap done:%s\r\n", name.c_str());
  return Reply(svr, s, "500 snap failed:%s\r\n", name.c_str());
}

}  // namespace

WL_CommandHandler DiagnosticsHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdInfo:
    case kCmdInfm:
      return HandleInfm;
    case kCmdDump:
      return HandleDump;
    case kCmdKill:
      return HandleKill;
    case kCmdSnap:
      return HandleSnap;
    default:
      return nullptr;
  }
}
