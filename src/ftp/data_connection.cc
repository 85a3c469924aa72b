#include "ftp/data_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "accounts/account.h"
#include "base/digest.h"
#include "core/server.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/session_io.h"
#include "ftp/tls.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

constexpr int kDataWaitMs = 3000;

// The data connection's bytes, through TLS when it has a TLS object. A TLS
// close_notify is a clean end (kClosed); a bare TCP close under TLS is an
// error, since the peer may have been cut off mid-stream.
IoResult DataIo(WL_FtpSession& s, bool write, char* buf, size_t n) {
  if (s.data_ssl == nullptr) return write ? NetSend(s.data_socket.Get(), buf, n) : NetRecv(s.data_socket.Get(), buf, n);
  size_t moved = 0;
  const TlsIo io = write ? TlsWrite(s.data_ssl, buf, n, &moved) : TlsRead(s.data_ssl, buf, n, &moved);
  return TlsToIo(io, moved, &s.tls_want);
}

// Which way to wait on the data socket: a TLS layer may want the other
// direction than the operation's.
bool WaitForWrite(const WL_FtpSession& s, bool writing) {
  if (s.data_ssl != nullptr && s.tls_want != 0) return s.tls_want == 2;
  return writing;
}

bool TimedOut(int64_t start, int64_t limit) {
  const int64_t now = NowSeconds();
  return now < start || now - start > limit;
}

bool TimedOutAtLeast(int64_t start, int64_t limit) {
  const int64_t now = NowSeconds();
  return now < start || now - start >= limit;
}

// Before a preparation takes effect: drop an econn wait and any open data
// connection, keeping the restart offset.
void FreshPreparation(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  svr->econn.RemoveWaitSession(s.is_ipv4 != 0, s.slot_index);
  const int64_t rest = s.rest_offset;
  s.CloseDataConnection(false, false);
  s.rest_offset = rest;
}

// A listener with the port rules of Basic_dataport and
// Unsafe_limitrandomepasvportnum. Returns the socket and its port.
int PassiveListener(const WL_Settings& set, int family, uint32_t offset, uint16_t* port) {
  const uint32_t base = set.Basic_dataport;
  const uint32_t n = set.Unsafe_limitrandomepasvportnum;
  int fd = kInvalidSocket;
  if (base >= 2049 && base <= 64499) {
    if (n >= 3 && n <= 16) {
      for (uint32_t p = base; p < base + n && fd == kInvalidSocket; ++p) {
        fd = NetListenData(family, static_cast<uint16_t>(p), 2);
      }
    } else {
      for (uint32_t p = base + offset; p < base + 500 && fd == kInvalidSocket; p += 5) {
        fd = NetListenData(family, static_cast<uint16_t>(p), 2);
      }
    }
  }
  if (fd == kInvalidSocket) fd = NetListenData(family, 0, 2);
  if (fd == kInvalidSocket) return kInvalidSocket;
  *port = NetLocalPort(fd);
  if (*port <= 1024) {
    NetClose(fd);
    return kInvalidSocket;
  }
  return fd;
}

bool Passive(WL_ZelFtpSvr* svr, WL_FtpSession& s, bool extended) {
  const bool v4 = s.is_ipv4 != 0;
  uint16_t port = 0;
  if (s.mode_c) {
    FreshPreparation(svr, s);
    s.data_mode = kDataEconn;
    port = svr->econn.PortFor(v4);
  } else {
    // The old listener goes first, so its port can be taken again.
    FreshPreparation(svr, s);
    const int fd = PassiveListener(svr->set, v4 ? AF_INET : AF_INET6, s.slot_index, &port);
    if (fd == kInvalidSocket) {
      return ReplyText(svr, s, extended ? "450 Failed to enter extend passive mode\r\n" : "500 Failed to enter passive mode\r\n");
    }
    s.data_socket.Set(fd);
    s.passive_port = port;
    s.data_mode = kDataPassive;
  }
  if (extended) return Reply(svr, s, "229 Entering extend pasv mode (|||%u|)\r\n", port);
  uint8_t ip[4] = {0, 0, 0, 0};
  NetLocalIpv4(s.ctrl_socket.Get(), ip);
  return Reply(svr, s, "227 Entering passive mode (%u,%u,%u,%u,%u,%u)\r\n", ip[0], ip[1], ip[2], ip[3], port / 256u,
               port % 256u);
}

bool HandlePasv(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!s.is_ipv4) return ReplyText(svr, s, "450 please use epsv command\r\n");
  return Passive(svr, s, false);
}

bool HandleEpsv(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char*) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  return Passive(svr, s, true);
}

bool HandlePort(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (!s.is_ipv4) return ReplyText(svr, s, "450 please use eprt command\r\n");
  if (svr->set.No_portmode) return ReplyText(svr, s, "550 please use passive connect , port is disabled\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "500 bad parameters\r\n");
  uint64_t v[6] = {};
  if (ScanPortNumbers(arg, v) < 6) return ReplyText(svr, s, "500 bad parameters type\r\n");
  if (v[4] > 256 || v[5] > 256) return ReplyText(svr, s, "500 bad parameters range\r\n");
  const uint64_t port = v[4] * 256 + v[5];
  if (port < 1025 || port > 65535) return ReplyText(svr, s, "500 port number\r\n");
  FreshPreparation(svr, s);
  s.active_port = static_cast<uint16_t>(port);
  s.data_mode = kDataActive;
  return ReplyText(svr, s, "200 port command done\r\n");
}

bool HandleEprt(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  if (svr->set.No_portmode) return ReplyText(svr, s, "550 please use passive connect , port is disabled\r\n");
  if (*arg == '\0') return ReplyText(svr, s, "500 bad parameters\r\n");
  uint16_t port = 0;
  const int parsed = ParseEprtPort(arg, &port);
  if (parsed == 0) return ReplyText(svr, s, "450 bad parameters of eprt\r\n");
  if (parsed < 0) return ReplyText(svr, s, "450 port out of range\r\n");
  FreshPreparation(svr, s);
  s.active_port = static_cast<uint16_t>(port);
  s.data_mode = kDataActive;
  return ReplyText(svr, s, "200 eprt command ok\r\n");
}

bool Econn(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* arg, bool tls) {
  const bool v4 = s.is_ipv4 != 0;
  FreshPreparation(svr, s);
  if (*arg == '\0') return Reply(svr, s, "450 %u bad parameter found\r\n", svr->econn.PortFor(v4));
  if (tls && !s.ctrl_tls) return ReplyText(svr, s, "450 please use conn command\r\n");
  uint64_t v = 0;
  if (!ParseHex64(arg, &v)) return ReplyText(svr, s, "450 bad parameter found\r\n");
  s.econn_client = static_cast<uint16_t>(v);
  const uint64_t r = s.Draw();
  char text[40];
  const int n = FormatText(text, sizeof(text), "%" PRIx64 "%" PRIx64, v, r);
  char key[33];
  Md5Hex(text, static_cast<size_t>(n > 0 ? n : 0), key);
  for (int i = 0; i < 100 && s.event.Wait(0); ++i) {
  }
  if (!svr->econn.AddWaitSession(v4, s.peer_addr, key, s.slot_index, tls, s.response_flag, s.econn_client,
                                 &s.event)) {
    return ReplyText(svr, s, "550 failed to enter extend-connect mode\r\n");
  }
  memcpy(s.econn_token, key, 33);
  s.data_private = tls ? 1 : 0;
  s.data_mode = kDataEconn;
  s.mode_c = 1;
  return Reply(svr, s, "222 %x %x %" PRIx64 "\r\n", svr->econn.PortFor(v4), s.slot_index, r);
}

bool HandleConn(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  return Econn(svr, s, arg, false);
}

bool HandleCons(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  return Econn(svr, s, arg, true);
}

bool HandleModc(WL_ZelFtpSvr* svr, uint32_t slot, uint8_t family, const char* arg) {
  WL_FtpSession& s = *svr->Session(slot, family);
  const int gate = LoginGate(svr, s);
  if (gate <= 0) return gate == 0;
  const char* p = arg;
  char* end = nullptr;
  const long v = strtol(p, &end, 10);
  if (end == p) return ReplyText(svr, s, "450 bad parameter\r\n");
  s.mode_c = v != 0 ? 1 : 0;
  return Reply(svr, s, "200 set mode c to %s\r\n", s.mode_c ? "on" : "off");
}

bool OpenActive(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  auto fail = [&s](uint16_t code) {
    if (code != 0) s.send_code = code;
    return false;
  };
  if (s.close_flag.load() || s.active_port < 1024) return fail(6001);
  int stage = 0;
  const int fd = NetConnectTo(s.peer_sockaddr, s.active_port, &stage);
  if (fd == kInvalidSocket) return fail(stage == 1 ? 6002 : 6003);
  s.data_socket.Set(fd);
  PairReady r;
  const int rc = WaitControlAndData(s.ctrl_socket.Get(), fd, true,
                                    static_cast<int>(svr->set.Connect_timeout) * 1000 + 1, &r);
  if (rc < 0) return fail(6005);
  if (rc == 0) return fail(0);
  if (r.ctrl_readable) return fail(6004);
  // A failed non-blocking connect also shows as writable: SO_ERROR tells.
  if (r.data_ready && !r.data_error && NetSocketError(fd) == 0) return true;
  if (r.ctrl_error) return fail(6304);
  return fail(6404);
}

bool OpenPassive(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (s.close_flag.load() || !s.data_socket.IsOpen() || s.passive_port < 1024) {
    s.send_code = 6011;
    return false;
  }
  const int listener = s.data_socket.Get();
  const int64_t start = NowSeconds();
  for (uint32_t round = 1;; ++round) {
    PairReady r;
    const int rc = WaitControlAndData(s.ctrl_socket.Get(), listener, false, kDataWaitMs, &r);
    if (round % 4 == 0 && TimedOut(start, svr->set.Connect_timeout)) {
      s.send_code = 6012;
      return false;
    }
    if (s.close_flag.load()) {
      s.send_code = 6013;
      return false;
    }
    if (rc < 0) {
      s.send_code = 6015;
      return false;
    }
    if (rc == 0) continue;
    if (r.ctrl_readable) {
      s.send_code = 6014;
      return false;
    }
    if (r.ctrl_error) {
      s.send_code = 6314;
      return false;
    }
    if (r.data_error) {
      s.send_code = 6414;
      return false;
    }
    if (!r.data_ready) continue;
    struct sockaddr_storage peer;
    const int fd = NetAccept(listener, &peer);
    if (fd == kInvalidSocket) continue;
    if (!SameHost(peer, s.peer_sockaddr)) {
      NetClose(fd);  // only the control connection's host may connect
      continue;
    }
    s.data_socket.Close(true);
    s.data_socket.Set(fd);
    return true;
  }
}

bool OpenEconn(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (s.close_flag.load() || s.data_socket.IsOpen()) {
    s.send_code = 6021;
    return false;
  }
  const bool v4 = s.is_ipv4 != 0;
  const int64_t start = NowSeconds();
  for (uint32_t round = 1;; ++round) {
    if (s.event.Wait(1000)) {
      svr->econn.CountWakeUp();
    } else {
      bool ready = false;
      if (!WaitReadable(s.ctrl_socket.Get(), &ready, 0)) {
        s.send_code = 6023;
        return false;
      }
      if (ready) {
        s.send_code = 6024;
        return false;
      }
    }
    if (round % 4 == 0 && TimedOut(start, svr->set.Connect_timeout)) {
      s.send_code = 6022;
      return false;
    }
    if (svr->econn.IsWaitSessionUsed(v4, s.slot_index)) {
      int fd = kInvalidSocket;
      const int got = svr->econn.TakeEconnSocket(v4, s.slot_index, s.econn_token, &fd);
      if (got < 0) {
        s.send_code = v4 ? 6027 : 6026;
        return false;
      }
      if (got > 0) {
        s.data_socket.Set(fd);
        return true;
      }
    }
    if (s.close_flag.load()) {
      s.send_code = 6028;
      return false;
    }
  }
}

// What ended a wait of a send or receive. Returns the failure code, or 0
// when the data socket is ready.
uint16_t WaitData(WL_ZelFtpSvr*, WL_FtpSession& s, bool write, uint32_t* waits, int64_t start, int64_t timeout,
                  const uint16_t codes[6]) {
  // codes: time-out, closing, control readable, control error, data error,
  // wait error.
  PairReady r;
  const int rc = WaitControlAndData(s.ctrl_socket.Get(), s.data_socket.Get(), write, kDataWaitMs, &r);
  if (++*waits % 4 == 0 && TimedOutAtLeast(start, timeout)) return codes[0];
  if (s.close_flag.load()) return codes[1];
  if (rc < 0) return codes[5];
  if (rc == 0) return 0;
  if (r.ctrl_readable) return codes[2];
  if (r.ctrl_error) return codes[3];
  if (r.data_error) return codes[4];
  return 0;
}

}  // namespace

bool DataReady(const WL_FtpSession& s) {
  if (s.close_flag.load()) return false;
  switch (s.data_mode) {
    case kDataEconn:
      return s.econn_token[0] != '\0';
    case kDataPassive:
      return s.data_socket.IsOpen() && s.passive_port > 1024;
    case kDataActive:
      return s.active_port >= 1024;  // what OpenData accepts
    default:
      return false;
  }
}

bool OpenData(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  switch (s.data_mode) {
    case kDataActive:
      return OpenActive(svr, s);
    case kDataPassive:
      return OpenPassive(svr, s);
    case kDataEconn:
      return OpenEconn(svr, s);
    default:
      return false;
  }
}

bool DataSend(WL_ZelFtpSvr* svr, WL_FtpSession& s, const char* buf, size_t length, int64_t timeout) {
  if (length == 0) return true;
  if (s.close_flag.load()) return false;
  static const uint16_t kCodes[6] = {7033, 7034, 7035, 7335, 7435, 7036};
  const int64_t start = NowSeconds();
  uint32_t waits = 0;
  size_t sent = 0;
  while (sent < length) {
    s.wait_state = 1771;
    const IoResult r = DataIo(s, true, const_cast<char*>(buf) + sent, length - sent);
    if (r.status == IoStatus::kOk) {
      if (r.count > length - sent) {
        s.send_code = 7032;
        return false;
      }
      sent += r.count;
      s.bytes_sent += static_cast<int64_t>(r.count);
      continue;
    }
    if (r.status != IoStatus::kWouldBlock) {
      s.send_code = 7031;
      return false;
    }
    s.wait_state = 1772;
    if (const uint16_t code = WaitData(svr, s, WaitForWrite(s, true), &waits, start, timeout, kCodes)) {
      s.send_code = code;
      return false;
    }
  }
  s.wait_state = 0;
  return true;
}

bool DataSendFile(WL_ZelFtpSvr* svr, WL_FtpSession& s, int file_fd, int64_t timeout, int64_t* sent, bool* read_error) {
  static const uint16_t kCodes[6] = {7033, 7034, 7035, 7335, 7435, 7036};
  *sent = 0;
  *read_error = false;
  int64_t start = NowSeconds();
  uint32_t waits = 0;
  size_t block_left = kTransferBlock;
  while (!s.close_flag.load()) {
    s.wait_state = 1771;
    const FileSendResult r = NetSendFile(s.data_socket.Get(), file_fd, block_left);
    if (r.status == FileSendStatus::kSent) {
      *sent += static_cast<int64_t>(r.count);
      s.bytes_sent += static_cast<int64_t>(r.count);
      block_left -= r.count;
      if (block_left == 0) {
        // Each block of 524288 bytes has its own time-out, as with a
        // buffer sent by DataSend.
        block_left = kTransferBlock;
        start = NowSeconds();
        waits = 0;
      }
      continue;
    }
    if (r.status == FileSendStatus::kEndOfFile) {
      s.wait_state = 0;
      return true;
    }
    if (r.status == FileSendStatus::kFileError) {
      *read_error = true;
      return false;
    }
    if (r.status == FileSendStatus::kSocketError) {
      s.send_code = 7031;
      return false;
    }
    s.wait_state = 1772;
    if (const uint16_t code = WaitData(svr, s, true, &waits, start, timeout, kCodes)) {
      s.send_code = code;
      return false;
    }
  }
  return false;
}

bool DataRecv(WL_ZelFtpSvr* svr, WL_FtpSession& s, char* buf, size_t length, int64_t timeout, size_t* got,
              DataEnd* end, size_t enough) {
  static const uint16_t kCodes[6] = {7053, 7054, 7055, 7355, 7455, 7056};
  *got = 0;
  *end = DataEnd::kNone;
  if (length == 0) return true;
  if (s.close_flag.load()) {
    *end = DataEnd::kFailure;
    return false;
  }
  const int64_t start = NowSeconds();
  uint32_t waits = 0;
  while (*got < length) {
    s.wait_state = 1751;
    const IoResult r = DataIo(s, false, buf + *got, length - *got);
    if (r.status == IoStatus::kOk) {
      *got += r.count;
      s.bytes_received += static_cast<int64_t>(r.count);
      continue;
    }
    if (r.status == IoStatus::kClosed) {
      s.send_code = 7051;
      *end = DataEnd::kStream;
      return false;
    }
    if (r.status != IoStatus::kWouldBlock) {
      s.send_code = s.data_ssl != nullptr ? 7701 : 7051;
      *end = DataEnd::kFailure;
      return false;
    }
    if (enough > 0 && *got >= enough) break;  // nothing more waiting: hand over what came
    s.wait_state = 1752;
    if (const uint16_t code = WaitData(svr, s, WaitForWrite(s, false), &waits, start, timeout, kCodes)) {
      s.send_code = code;
      *end = code == 7055 ? DataEnd::kAbort : DataEnd::kFailure;
      return false;
    }
  }
  s.wait_state = 0;
  return true;
}

bool DataRecvLine(WL_ZelFtpSvr* svr, WL_FtpSession& s, char* buf, size_t length, int64_t timeout, size_t* got) {
  static const uint16_t kCodes[6] = {0, 0, 7084, 7384, 7484, 7085};
  *got = 0;
  if (s.close_flag.load()) return false;
  const int64_t start = NowSeconds();
  uint32_t waits = 0;
  while (*got < length) {
    s.wait_state = 1761;
    const IoResult r = DataIo(s, false, buf + *got, length - *got);
    if (r.status == IoStatus::kOk) {
      const bool lf = memchr(buf + *got, '\n', r.count) != nullptr;
      *got += r.count;
      s.bytes_received += static_cast<int64_t>(r.count);
      if (lf) {
        s.wait_state = 0;
        return true;
      }
      continue;
    }
    if (r.status != IoStatus::kWouldBlock) {
      s.send_code = (r.status == IoStatus::kError && s.data_ssl != nullptr) ? 7701 : 7081;
      return false;
    }
    const uint16_t code = WaitData(svr, s, WaitForWrite(s, false), &waits, start, timeout, kCodes);
    if (code != 0) {
      s.send_code = code;
      return false;
    }
    if (s.close_flag.load() || (waits % 4 == 0 && TimedOutAtLeast(start, timeout))) return false;
  }
  s.send_code = 7082;
  return false;
}

WL_CommandHandler DataHandlerFor(uint32_t code) {
  switch (code) {
    case kCmdPort:
      return HandlePort;
    case kCmdEprt:
      return HandleEprt;
    case kCmdPasv:
      return HandlePasv;
    case kCmdEpsv:
      return HandleEpsv;
    case kCmdConn:
      return HandleConn;
    case kCmdCons:
      return HandleCons;
    case kCmdModc:
      return HandleModc;
    default:
      return nullptr;
  }
}
