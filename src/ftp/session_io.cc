#include "ftp/session_io.h"

#include <cstdarg>
#include <cstring>

#include "accounts/account.h"
#include "core/server.h"
#include "ftp/session.h"
#include "ftp/tls.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

// Waits on the control connection are at most this long, so close_flag is
// seen within one wait.
constexpr int kReadWaitMs = 20000;
constexpr int kWriteWaitMs = 3000;

// The only readers and writers of the control connection's bytes: through
// TLS once the control connection has it.
IoResult ControlRead(WL_FtpSession& s, char* buf, size_t n) {
  if (s.ctrl_tls && s.ctrl_ssl != nullptr) {
    s.tls_want = 0;
    size_t got = 0;
    const TlsIo io = TlsRead(s.ctrl_ssl, buf, n, &got);
    const IoResult r = TlsToIo(io, got, &s.tls_want);
    if (r.status == IoStatus::kError || r.status == IoStatus::kClosed) s.send_code = kTlsReadError;
    return r;
  }
  return NetRecv(s.ctrl_socket.Get(), buf, n);
}

IoResult ControlWrite(WL_FtpSession& s, const char* buf, size_t n) {
  if (s.ctrl_tls && s.ctrl_ssl != nullptr) {
    s.tls_want = 0;
    size_t sent = 0;
    const TlsIo io = TlsWrite(s.ctrl_ssl, buf, n, &sent);
    return TlsToIo(io, sent, &s.tls_want);
  }
  return NetSend(s.ctrl_socket.Get(), buf, n);
}

bool ControlTls(const WL_FtpSession& s) { return s.ctrl_tls && s.ctrl_ssl != nullptr; }

// The wait of a control read that got nothing.
bool WaitControlRead(WL_FtpSession& s) {
  bool ready;
  if (ControlTls(s) && s.tls_want == 2) return WaitWritable(s.ctrl_socket.Get(), &ready, kWriteWaitMs);
  return WaitReadable(s.ctrl_socket.Get(), &ready, kReadWaitMs);
}

bool TimedOut(int64_t start, int64_t timeout) {
  const int64_t now = NowSeconds();
  return now < start || now - start >= timeout;
}

}  // namespace

bool SendControl(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* text, int length, int timeout, bool log) {
  if (length == 0) return true;
  if (length < 0 || text == nullptr) return false;
  if (log && svr->set.Log_level > 1 && length < 1408) {
    SessionLog(svr, s, " <send> %.*s", length, text);
  }
  if (s.close_flag.load()) return false;
  s.wait_state = 0;
  const int64_t start = NowSeconds();
  uint32_t waits = 0;
  size_t sent = 0;
  const size_t total = static_cast<size_t>(length);
  for (;;) {
    s.wait_state = ControlTls(s) ? kWaitTlsWrite : kWaitPlainSend;
    IoResult r = ControlWrite(s, text + sent, total - sent);
    if (r.status == IoStatus::kOk) {
      sent += r.count;
      if (sent == total) {
        s.wait_state = 0;
        return true;
      }
      if (s.close_flag.load()) return false;
      continue;
    }
    if (r.status != IoStatus::kWouldBlock) {
      s.send_code = kSendError;
      return false;
    }
    if (++waits % 4 == 0 && TimedOut(start, timeout)) {
      s.send_code = kSendTimeout;
      return false;
    }
    bool ready;
    bool waited;
    if (ControlTls(s)) {
      s.wait_state = kWaitTlsSendWait;
      waited = s.tls_want == 1 ? WaitReadable(s.ctrl_socket.Get(), &ready, kWriteWaitMs)
                               : WaitWritable(s.ctrl_socket.Get(), &ready, kWriteWaitMs);
    } else {
      s.wait_state = kWaitPlainSendWait;
      waited = WaitWritable(s.ctrl_socket.Get(), &ready, kWriteWaitMs);
    }
    if (!waited) {
      s.send_code = kSendWaitFailed;
      return false;
    }
    if (s.close_flag.load()) return false;
  }
}

bool ReceiveLine(WL_ZelFtpSvr*, WL_FtpSession& s, int64_t timeout) {
  ++s.recv_calls;
  auto fail = [&s](uint16_t code) {
    s.security_code = code;
    return false;
  };
  if (s.cmd_len >= kCmdBufSize) return fail(kRecvFullOnEntry);
  // A line already held is a line, however short: "\r\n" alone must reach
  // the length rules (and end the session) instead of waiting for 3 bytes.
  if (s.cmd_len > 0 && memchr(s.cmd_buf, '\n', static_cast<size_t>(s.cmd_len)) != nullptr) return true;
  const int64_t start = NowSeconds();
  for (uint32_t pass = 1;; ++pass) {
    if (s.close_flag.load()) return fail(kRecvClosedAtTop);
    s.wait_state = 0;
    if (pass % 4 == 0 && TimedOut(start, timeout)) return fail(kRecvTimeout);
    s.wait_state = kWaitReceiveLine;
    IoResult r = ControlRead(s, s.cmd_buf + s.cmd_len, static_cast<size_t>(kCmdBufSize - s.cmd_len));
    if (s.close_flag.load()) return fail(kRecvClosedAfterRead);
    if (r.status == IoStatus::kWouldBlock) {
      s.wait_state = kWaitLineData;
      if (!WaitControlRead(s)) return fail(kRecvWaitFailed);
      continue;
    }
    if (r.status != IoStatus::kOk) return fail(kRecvError);
    s.cmd_len += static_cast<int32_t>(r.count);
    if (s.cmd_len > kCmdBufSize) return fail(kRecvTooLong);
    s.cmd_buf[s.cmd_len] = '\0';
    if (memchr(s.cmd_buf, '\n', static_cast<size_t>(s.cmd_len)) != nullptr) return true;
    if (s.cmd_len >= kCmdBufSize) return fail(kRecvFullNoLineFeed);
  }
}

bool ReceiveExact(WL_ZelFtpSvr*, WL_FtpSession& s, char* buf, int length, int64_t timeout) {
  auto fail = [&s](uint16_t code) {
    s.send_code = code;
    return false;
  };
  if (buf == nullptr || length < 0) return fail(kExactError);
  int got = 0;
  const int64_t start = NowSeconds();
  for (uint32_t pass = 1; got < length; ++pass) {
    if (s.close_flag.load()) return fail(kExactClosed);
    s.wait_state = 0;
    if (pass % 4 == 0 && TimedOut(start, timeout)) return fail(kExactTimeout);
    s.wait_state = kWaitExactReceive;
    IoResult r = ControlRead(s, buf + got, static_cast<size_t>(length - got));
    if (s.close_flag.load()) return fail(kExactClosedAfterRead);
    if (r.status == IoStatus::kWouldBlock) {
      s.wait_state = kWaitExactWait;
      if (!WaitControlRead(s)) return fail(kExactWaitFailed);
      continue;
    }
    if (r.status != IoStatus::kOk) return fail(kExactError);
    got += static_cast<int>(r.count);
  }
  s.wait_state = 0;
  return true;
}

bool ReplyText(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text) {
  if (!s.reply_buf.Assign(text) ||
      !SendControl(svr, s, s.reply_buf.c_str(), static_cast<int>(s.reply_buf.size()), kReplyTimeout, true)) {
    s.close_flag.store(true);
    return false;
  }
  return true;
}

bool ReplyMissing(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text) {
  if (!s.standard_replies || text.size() < 4 || text.substr(0, 3) == "550") return ReplyText(svr, s, text);
  BoundedStr<256> standard;
  if (!standard.Append("550") || !standard.Append(text.substr(3))) return ReplyText(svr, s, text);
  return ReplyText(svr, s, standard.view());
}

bool Reply(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char* buf = s.reply_buf.data();
  int n = FormatTextV(buf, s.reply_buf.capacity() + 1, fmt, ap);
  va_end(ap);
  if (n < 0 || !SendControl(svr, s, buf, n, kReplyTimeout, true)) {
    s.close_flag.store(true);
    return false;
  }
  return true;
}

int LoginGate(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool proxy_allowed) {
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n") ? 0 : -1;
  if (!proxy_allowed && s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  return 1;
}

int AdminGate(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (!s.logged_in) return Refuse(svr, s, "550 login first\r\n") ? 0 : -1;
  if (!s.is_admin || s.account_index == WL_FtpAccount::kProxy) return Refuse(svr, s, "550 unknown command\r\n") ? 0 : -1;
  return 1;
}

bool Refuse(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view text) {
  if (!ReplyText(svr, s, text)) return false;
  ++s.failed_commands;
  return true;
}

namespace {

// Formats "<head><fmt...>" into out. Returns the length, -1 when it does not
// fit.
int FormatWithHead(char* out, size_t cap, int head_len, const char* fmt, va_list ap) {
  if (head_len < 0) return -1;
  int n = FormatTextV(out + head_len, cap - static_cast<size_t>(head_len), fmt, ap);
  return n < 0 ? -1 : head_len + n;
}

}  // namespace

void SessionLog(WL_ZelFtpSvr*, WL_FtpSession& s, const char* fmt, ...) {
  char* out = s.log_line.data();
  const size_t cap = s.log_line.capacity() + 1;
  va_list ap;
  va_start(ap, fmt);
  int n = FormatWithHead(out, cap, s.FormatLogPrefix(out, cap), fmt, ap);
  va_end(ap);
  if (n > 0) s.session_log.AddLine(out, n, false);
}

void FailLog(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = FormatWithHead(line, sizeof(line), s.FormatLoginLogLine(line, 512), fmt, ap);
  va_end(ap);
  if (n > 0) svr->fail_log.Write(line, static_cast<size_t>(n));
}
