// The FTP session task: one control connection from greeting to close.
#include <cctype>
#include <cstring>
#include <strings.h>

#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"
#include "platform/clock.h"

namespace {

// Whether the network type of the family admits the peer.
bool NetworkAdmits(const WL_Settings& set, const WL_FtpSession& s) {
  const int32_t type = s.is_ipv4 ? set.Net_typev4 : set.Net_typev6;
  if (type == 1) return s.peer_local != 0;
  if (type == 2) return s.peer_local == 0;
  return true;
}

bool Greet(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  const char* g = svr->greeting_text.c_str();
  const int n = static_cast<int>(svr->greeting_text.size());
  if (s.implicit_tls) {
    s.cmd_len = 0;
    s.stage = kStageImplicitHandshake;
    s.start_time = NowSeconds();
    s.ctrl_tls = 1;
    if (!ControlHandshake(svr, s)) return false;
    s.stage = kStageImplicitGreeting;
    if (!SendControl(svr, s, g, n, kReplyTimeout, true)) return false;
    s.implicit_done = 1;
    s.data_private = 1;
  } else {
    s.ctrl_tls = 0;
    s.stage = kStagePlainGreeting;
    s.data_private = 0;
    if (!SendControl(svr, s, g, n, kReplyTimeout, true)) return false;
  }
  s.cmd_len = 0;
  s.start_time = NowSeconds();
  return true;
}

// One turn of the command loop. Returns false when the session ends.
bool CommandTurn(WL_ZelFtpSvr* svr, WL_FtpSession& s, uint8_t family) {
  const WL_Settings& set = svr->set;
  const bool log4 = set.Log_level > 3;
  s.wait_state = 0;
  if (memchr(s.cmd_buf, '\n', static_cast<size_t>(s.cmd_len)) == nullptr) {
    s.stage = kStageReceiving;
    if (!ReceiveLine(svr, s, set.Noop_timeout)) {
      if (log4) SessionLog(svr, s, " <exit 0> receive command failed or timeout\r\n");
      return false;
    }
  }
  s.stage = kStageLinePresent;
  char* lf = static_cast<char*>(memchr(s.cmd_buf, '\n', static_cast<size_t>(s.cmd_len)));
  if (lf == nullptr) {
    if (log4) SessionLog(svr, s, " <exit 1> receive command failed\r\n");
    return false;
  }
  s.last_activity = NowSeconds();
  if (!s.logged_in && s.last_activity - s.start_time >= set.Login_timeout) {
    if (set.Log_level > 0) FailLog(svr, s, " <Login fail> timeout\r\n");
    if (log4) SessionLog(svr, s, " <exit 2> login timeout\r\n");
    return false;
  }
  s.stage = kStageLengthCheck;
  const int p = static_cast<int>(lf - s.cmd_buf);
  if (p == 0 || p > kMaxCommandLine) {
    if (log4) SessionLog(svr, s, " <exit 3> bad command length or attack\r\n");
    s.close_flag.store(true);
    return false;
  }
  s.stage = kStageParsing;
  *lf = '\0';
  int pending = s.cmd_len - p - 1;
  if (pending < 0) pending = 0;

  // Trim the line in place; this removes the carriage return.
  size_t trimmed = 0;
  char* line = TrimLine(s.cmd_buf, &trimmed);
  if (trimmed < 2) {
    if (log4) SessionLog(svr, s, " <exit 4> bad command length\r\n");
    return false;
  }
  if (set.Log_level > 1) {
    // A clear password never reaches the log: PASS is written without it.
    const bool pass = strncasecmp(line, "PASS", 4) == 0 && (line[4] == ' ' || line[4] == '\0');
    SessionLog(svr, s, " <recv :%d> %s\r\n", pending, pass ? "PASS *" : line);
  }
  char* verb = nullptr;
  char* arg = nullptr;
  SplitVerb(line, &verb, &arg);

  s.command_code = LookupVerb(verb, set.No_cmdextend != 0);
  s.security_code = 0;
  s.send_code = 0;
  s.stage = kStageDispatching;
  const bool keep = DispatchCommand(svr, s, family, arg, &pending);
  s.stage = kStageCommandDone;
  if (!keep || s.close_flag.load()) return false;

  s.last_activity = NowSeconds();
  if (pending > 0) {
    // Pipelined bytes become the start of the next line without a receive.
    memmove(s.cmd_buf, lf + 1, static_cast<size_t>(pending));
    s.cmd_len = pending;
  } else {
    s.cmd_len = 0;
  }
  s.cmd_buf[s.cmd_len] = '\0';
  return true;
}

}  // namespace

int FtpSessionTask(uint32_t slot_index, uint8_t family, const std::atomic<bool>*, void* context) {
  auto* svr = static_cast<WL_ZelFtpSvr*>(context);
  if (svr == nullptr) return -1;
  if (slot_index >= svr->set.Max_users) {
    svr->bad_task_count.fetch_add(1, std::memory_order_relaxed);
    return -2;
  }
  WL_FtpSession* slot = svr->Session(slot_index, family);
  if (slot == nullptr) {
    svr->bad_task_count.fetch_add(1, std::memory_order_relaxed);
    return -2;
  }
  WL_FtpSession& s = *slot;
  const WL_Settings& set = svr->set;
  if (set.Log_level > 0) s.session_log.Activate();
  if (set.Log_level > 3) SessionLog(svr, s, " <ftp session start>\r\n");
  SetNonBlocking(s.ctrl_socket.Get());
  s.stage = kStageStarted;

  if (!svr->firewall.CheckAddress(s.peer_addr, s.is_ipv4 != 0)) {
    if (set.Log_level > 0) FailLog(svr, s, " <ip deny> kicked by ipwall\r\n");
  } else {
    s.stage = kStageFirewallPassed;
    if (NetworkAdmits(set, s) && Greet(svr, s)) {
      s.last_activity = s.start_time;
      s.stage = kStageLoopTop;
      while (!s.close_flag.load()) {
        if (!CommandTurn(svr, s, family)) break;
      }
    }
  }

  s.stage = kStageClosing;
  // The econn service must not hold this slot's semaphore past the session.
  svr->econn.RemoveWaitSession(s.is_ipv4 != 0, s.slot_index);
  s.CloseConnections();
  if (set.Loginfail_blackip && !s.logged_in) svr->firewall.RecordFailure(s.peer_addr, s.is_ipv4 != 0);
  {
    std::lock_guard<WL_Lock> g(svr->totals_lock);
    if (s.bytes_sent > 0) svr->total_bytes_sent += static_cast<uint64_t>(s.bytes_sent);
    if (s.bytes_received > 0) svr->total_bytes_received += static_cast<uint64_t>(s.bytes_received);
  }
  if (set.Log_level > 0) {
    SessionLog(svr, s, " <exit now>\r\n");
    s.session_log.FlushToLog();
  }
  s.stage = kStageReleased;
  s.ReleaseSlot();
  return 0;
}
