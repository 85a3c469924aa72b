#include "stream/web_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "base/mem_pool.h"
#include "base/net_text.h"
#include "base/thread_pool.h"
#include "base/time_text.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "stream/file_map.h"

namespace {

constexpr size_t kThreadStack = 4194304;
constexpr int kMainWaitMs = 600 * 1000;
constexpr int kAcceptBurst = 32;

unsigned PeerPort(const struct sockaddr_storage& peer) {
  if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_port);
  return ntohs(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_port);
}

}  // namespace

void* HttpMainThread(void* arg) {
  static_cast<WL_WebSvr*>(arg)->MainLoop();
  return nullptr;
}

WL_WebSvr::WL_WebSvr() { firewall.http_instance = true; }

WL_WebSvr::~WL_WebSvr() { StopWebService(); }

void WL_WebSvr::Configure(const WL_Settings& set) {
  ipv4_enabled = set.Service_enablev4 ? 1 : 0;
  ipv6_enabled = set.Service_enablev6 ? 1 : 0;
  https_v4 = set.Enable_httpsv4 ? 1 : 0;
  https_v6 = set.Enable_httpsv6 ? 1 : 0;
  protect_mode = set.Http_protectmode ? 1 : 0;
  send_404 = set.Http_send404 ? 1 : 0;
  bad_head_404 = set.Http_badhead404 ? 1 : 0;
  http_port_v4 = set.Http_portv4;
  https_port_v4 = set.Service_sslv4port;
  http_port_v6 = set.Http_portv6;
  https_port_v6 = set.Service_sslv6port;
  session_count = set.Max_session;
  net_type_v4 = set.Net_typev4;
  net_type_v6 = set.Net_typev6;
  log_level = set.Log_level;
  head_timeout = set.Get_timeout;
  send_timeout = set.File_sendtimeout;
  mime_level = set.Http_mimetype;
  firewall.ipv4_enabled = set.Ipv4_ipwall != 0;
  firewall.ipv6_enabled = set.Ipv6_ipwall != 0;
  firewall.prefix_block = set.Ipwall_prefixpblock != 0;
  firewall.max_tries = set.Max_trytimes + 5;
  firewall.record_seconds = set.Record_seconds;
  firewall.scan_gap = set.Loop_scangapsec;
  firewall.table_size = set.Ipwall_listnum;
}

WL_HttpSession* WL_WebSvr::Session(uint32_t index) {
  if (!sessions_ || index >= static_cast<uint32_t>(sessions_made_)) return nullptr;
  return &sessions_[index];
}

uint16_t WL_WebSvr::ListenerPort(WL_WebListener which) const {
  const int fd = listeners_[which].Get();
  return fd == kInvalidSocket ? 0 : NetLocalPort(fd);
}

void WL_WebSvr::AddBytesSent(int64_t n) {
  std::lock_guard<WL_Lock> hold(lock_);
  bytes_sent_total += n;
}

int64_t WL_WebSvr::BytesSentTotal() {
  std::lock_guard<WL_Lock> hold(lock_);
  return bytes_sent_total;
}

void WL_WebSvr::WriteServiceLog(const char* text, int length, bool add_crlf) {
  if (log_level == 0 || text == nullptr) return;
  if (length == 0) length = static_cast<int>(strlen(text));
  if (length < 1 || length > 1279) return;
  char line[1400];
  int n = FormatLogStamp(NowSeconds(), line, 64);
  if (n < 0) n = 0;
  line[n++] = ' ';
  memcpy(line + n, text, static_cast<size_t>(length));
  n += length;
  if (add_crlf) {
    line[n++] = '\r';
    line[n++] = '\n';
  }
  web_log.Write(line, static_cast<size_t>(n));
}

void WL_WebSvr::MainLog(const char* fmt, ...) {
  char line[1680];
  va_list ap;
  va_start(ap, fmt);
  const int n = FormatTextV(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n > 0) memory_log_.AddLine(line, n, false);
}

bool WL_WebSvr::Refuse(int32_t code, const char* fmt) {
  start_error = code;
  // A start message holds at most one "%d", the code.
  message.Format(fmt, code);
  WriteServiceLog(message.c_str(), 0, true);
  return false;
}

bool WL_WebSvr::StartWebService() {
  // 1. The main thread's staging log writes into the web log.
  memory_log_.SetTarget(&web_log);
  if (log_level > 0) memory_log_.Activate();
  WriteServiceLog("******Http stream service start******\r\n", 0, false);
  start_logged_ = true;

  // 2. and 3.
  if (sessions_) return Refuse(kWebSessionsExist, "Error: web service found puser not null: %d");
  if (https_v4 && ipv4_enabled && tls_ctx == nullptr) {
    return Refuse(kWebNoTlsV4, "Error: web service found ctx is null for https ipv4: %d");
  }
  if (https_v6 && ipv6_enabled && tls_ctx == nullptr) {
    return Refuse(kWebNoTlsV6, "Error: web service found ctx is null for https ipv6: %d");
  }
  if (filemap == nullptr) return Refuse(kWebNoFileMap, "Error: web service found filemap is null: %d");
  filemap->SetServingCallback(&WL_WebSvr::FindServingSession, this);
  if (memory_pool == nullptr) return Refuse(kWebNoMemoryPool, "Error: web service found memory pool is null: %d");

  // 4.
  if (session_count < 8) session_count = 72;
  if (session_count > 256) session_count = 256;
  if (head_timeout < 8) head_timeout = 48;
  if (head_timeout > 128) head_timeout = 128;
  stop_.store(false);
  main_running_.store(false);

  // 5. The session records, each with its own first unique tag.
  sessions_.reset(new (std::nothrow) WL_HttpSession[static_cast<size_t>(session_count)]);
  if (!sessions_) return Refuse(kWebNoSessions, "Error: web service  failed to prepare user list: %d");
  sessions_made_ = session_count;
  unique_.Mix(GetTickCount(), CurrentThreadId() % 20000 + 17, 11, 27);
  for (int i = 0; i < session_count; ++i) {
    WL_HttpSession& s = sessions_[i];
    s.slot_index = static_cast<uint16_t>(i);
    s.service = this;
    s.session_log.SetTarget(&web_log);
    const uint64_t v = unique_.Draw();
    s.unique_tag = (i % 2 == 0) ? static_cast<uint32_t>(v) : static_cast<uint32_t>(v >> 32);
  }

  // 7. Records.
  if (ipv4_enabled) connect_v4.StartRecords(0);
  if (ipv6_enabled) connect_v6.StartRecords(0);
  visitors.StartRecords(0);

  // 8. The firewall alone may fail.
  if (!firewall.StartWall()) {
    start_error = kWebNoFirewall;
    WriteServiceLog("Warning: web service  failed to start ip wall", 0, true);
  }

  // 9.
  if (!OpenListeners()) return false;

  // 10.
  if (!StartThread(HttpMainThread, this, kThreadStack)) {
    return Refuse(kWebNoThread, "Error: web service failed to start main thread: %d");
  }
  SpinBackoff wait;
  while (!main_running_.load(std::memory_order_acquire) && !stop_.load()) wait.Pause();
  return true;
}

bool WL_WebSvr::OpenListeners() {
  struct Plan {
    bool on;
    int family;
    uint16_t port;
    int backlog;
    WL_WebListener which;
    int32_t socket_code, bind_code, listen_code;
    const char* socket_text;
    const char* bind_text;
    const char* listen_text;
  };
  const Plan plans[4] = {
      {ipv4_enabled != 0, AF_INET, http_port_v4, 20, kWebHttpV4, -21, -22, -23,
       "Error: web service failed to create ipv4 socket: %d", "Error: web service failed to bind ipv4 http port: %d",
       "Error: web service failed to listen ipv4 http socket: %d"},
      {ipv4_enabled && https_v4, AF_INET, https_port_v4, 16, kWebHttpsV4, -32, -33, -34,
       "Error: web service failed to create ipv4 socket: %d", "Error: web service failed to bind ipv4 https port: %d",
       "Error: web service failed to listen ipv4 https socket: %d"},
      {ipv6_enabled != 0, AF_INET6, http_port_v6, 20, kWebHttpV6, -35, -36, -37,
       "Error: web service failed to create ipv6 socket: %d", "Error: web service failed to bind ipv6 http port: %d",
       "Error: web service failed to listen ipv6 http socket: %d"},
      {ipv6_enabled && https_v6, AF_INET6, https_port_v6, 16, kWebHttpsV6, -38, -39, -34,
       "Error: web service failed to create ipv6 socket: %d", "Error: web service failed to bind ipv6 https port: %d",
       "Error: web service failed to listen ipv6 https socket: %d"},
  };
  for (const Plan& p : plans) {
    if (!p.on) continue;
    int stage = 0;
    const int fd = NetListenStaged(p.family, p.port, p.backlog, &stage);
    if (fd == kInvalidSocket) {
      if (stage == 1) return Refuse(p.socket_code, p.socket_text);
      if (stage == 2) return Refuse(p.bind_code, p.bind_text);
      return Refuse(p.listen_code, p.listen_text);
    }
    listeners_[p.which].Set(fd);
  }
  for (const WL_OwnedSocket& s : listeners_) {
    if (s.IsOpen()) return true;
  }
  return Refuse(kWebNoSocketReady, "Error: web service found no ipv4 or ipv6 socket ready: %d");
}

void WL_WebSvr::MainLoop() {
  main_thread_id_.store(CurrentThreadId());
  main_running_.store(true, std::memory_order_release);
  SleepMs(5);
  while (!stop_.load()) {
    int fds[4];
    int which[4];
    int n = 0;
    for (int k = 0; k < 4; ++k) {
      const int fd = listeners_[k].Get();
      if (fd == kInvalidSocket) continue;
      fds[n] = fd;
      which[n] = k;
      ++n;
    }
    if (n == 0) {
      SleepMs(1);
      continue;
    }
    bool ready[4];
    const int rc = WaitReadableSet(fds, ready, n, kMainWaitMs);
    if (stop_.load()) break;
    if (rc <= 0) continue;
    for (int k = 0; k < n && !stop_.load(); ++k) {
      if (!ready[k]) continue;
      for (int burst = 0; burst < kAcceptBurst && !stop_.load(); ++burst) {
        struct sockaddr_storage peer;
        const int fd = NetAccept(fds[k], &peer);
        if (fd == kInvalidSocket) break;
        AcceptOne(fd, which[k], peer);
      }
    }
  }
  // The main thread owns the listeners: the stopper only shut them down.
  for (WL_OwnedSocket& s : listeners_) s.Close();
  memory_log_.FlushToLog();
  main_running_.store(false, std::memory_order_release);
}

void WL_WebSvr::AcceptOne(int fd, int which, const struct sockaddr_storage& peer) {
  const bool v6 = peer.ss_family == AF_INET6;
  const int protocol = v6 ? 6 : 4;
  const int ssl = (which == kWebHttpsV4 || which == kWebHttpsV6) ? 1 : 0;
  char peer_text[48] = "";
  PeerAddressText(peer, peer_text, sizeof(peer_text));
  const unsigned port = PeerPort(peer);
  accepted.fetch_add(1, std::memory_order_relaxed);
  if (log_level >= 1) {
    MainLog("Http main: <new connect protocol=%d ssl=%d>:%s port:%u\r\n", protocol, ssl, peer_text, port);
  }
  if (v6) {
    connect_v6.AddIpv6(reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_addr.s6_addr);
  } else {
    connect_v4.AddIpv4(ntohl(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr.s_addr));
  }

  WL_HttpSession* s = nullptr;
  for (int i = 0; i < sessions_made_; ++i) {
    if (!sessions_[i].in_use.load(std::memory_order_acquire)) {
      s = &sessions_[i];
      break;
    }
  }
  if (s == nullptr) {
    if (log_level >= 1) {
      MainLog("Http main: <session full-> disconnect protocol=%d ssl=%d>:%s port:%u\r\n", protocol, ssl, peer_text,
              port);
    }
    full_refusals.fetch_add(1, std::memory_order_relaxed);
    NetShutdown(fd);
    NetClose(fd);
    return;
  }

  s->unique_tag += 17;
  if (s->unique_tag == 0) s->unique_tag = 1;
  s->ResetForConnection();
  s->https = static_cast<uint8_t>(ssl);
  s->is_ipv4 = v6 ? 0 : 1;
  s->socket.Set(fd);
  memcpy(&s->peer_sockaddr, &peer, sizeof(peer));
  s->in_use.store(true, std::memory_order_release);
  if (log_level >= 2) {
    MainLog("Http main: <position=%d protocol=%d ssl=%d>:%s port:%u\r\n", s->slot_index, protocol, ssl, peer_text,
            port);
  }
  if (thread_pool != nullptr &&
      thread_pool->AssignTask(s->slot_index, WL_ZelfoThreadPool::kTaskHttp, v6 ? 1 : 0, this)) {
    return;
  }
  if (log_level >= 1) {
    MainLog("Http stream thread: <thread full , disconnect position=%d protocl=%d ssl=%d>:%s port:%u\r\n",
            s->slot_index, protocol, ssl, peer_text, port);
  }
  no_worker_refusals.fetch_add(1, std::memory_order_relaxed);
  // No worker took it: the main thread still owns the record.
  s->ReleaseSession();
}

bool WL_WebSvr::AdmitPeer(int slot) {
  WL_HttpSession* s = Session(static_cast<uint32_t>(slot));
  if (s == nullptr) return false;
  int cls;
  if (s->is_ipv4) {
    uint32_t a;
    memcpy(&a, s->peer_key, 4);
    cls = IsLocalIpv4(a) ? 0 : 1;
  } else {
    cls = ClassifyIpv6(s->peer_key);
  }
  const int type = s->is_ipv4 ? net_type_v4 : net_type_v6;
  if (type == 1 && cls > 0) return false;
  if (type == 2 && cls <= 0) return false;
  return firewall.CheckAddress(s->peer_key, s->is_ipv4 != 0);
}

void WL_WebSvr::CloseAllSessions() {
  if (!sessions_) return;
  for (int i = 0; i < sessions_made_; ++i) {
    sessions_[i].stop.store(true);
    sessions_[i].socket.ShutdownByOther();
  }
  // Each worker closes its own socket and frees its record.
  SpinBackoff wait;
  for (;;) {
    bool busy = false;
    for (int i = 0; i < sessions_made_; ++i) {
      if (sessions_[i].in_use.load(std::memory_order_acquire)) {
        busy = true;
        sessions_[i].socket.ShutdownByOther();
      }
    }
    if (!busy) break;
    wait.Pause();
  }
  for (int i = 0; i < sessions_made_; ++i) sessions_[i].ReleaseSession();
  // The status commands read the table under lock_.
  std::lock_guard<WL_Lock> hold(lock_);
  sessions_.reset();
  sessions_made_ = 0;
}

void WL_WebSvr::StopWebService() {
  // 1. The main thread owns the listeners: wake it and let it close them.
  stop_.store(true);
  if (main_running_.load(std::memory_order_acquire)) {
    for (WL_OwnedSocket& s : listeners_) s.ShutdownByOther();
    SpinBackoff wait;
    while (main_running_.load(std::memory_order_acquire)) wait.Pause();
  }
  // Listeners of a thread that never ran have no other user.
  for (WL_OwnedSocket& s : listeners_) s.Close();
  // 2.
  CloseAllSessions();
  // 3.
  connect_v4.StopRecords();
  connect_v6.StopRecords();
  visitors.StopRecords();
  firewall.Stop();
  // 4.
  if (memory_log_.IsActive()) memory_log_.FlushToLog();
  if (start_logged_) WriteServiceLog("******Http stream service stopped success******\r\n", 0, false);
  start_logged_ = false;
  web_log.StopLog();
}

int WL_WebSvr::FindServingSession(int last_session, int slot, uint32_t serial, bool is_ipv4, void* context) {
  auto* svc = static_cast<WL_WebSvr*>(context);
  if (svc == nullptr) return -1;
  if (!svc->main_running()) return -2;
  if (!svc->sessions_) return -3;
  auto serves = [&](const WL_HttpSession& s) {
    return s.in_use.load(std::memory_order_acquire) && (s.is_ipv4 != 0) == is_ipv4 &&
           s.served_slot.load(std::memory_order_acquire) == slot &&
           s.served_serial.load(std::memory_order_acquire) == serial;
  };
  if (last_session >= 0 && last_session < svc->sessions_made_ && serves(svc->sessions_[last_session])) {
    return last_session;
  }
  for (int i = 0; i < svc->sessions_made_; ++i) {
    if (serves(svc->sessions_[i])) return i;
  }
  return -5;
}

int WL_WebSvr::SessionText(int index, char* buf, size_t size) {
  // The record belongs to its worker: copy what the line shows under lock_
  // (which keeps the table alive), then format the copy.
  int state, error, status, served;
  uint32_t tag, serial;
  bool v4;
  int64_t sent, block, seek, file_size, connect_time, data_time;
  struct sockaddr_storage peer_addr;
  {
    std::lock_guard<WL_Lock> hold(lock_);
    if (!sessions_) return FormatText(buf, size, "450 not ready\r\n");
    if (index < 0 || index >= sessions_made_) return FormatText(buf, size, "450 out of range\r\n");
    const WL_HttpSession& s = sessions_[index];
    if (!s.in_use.load()) return FormatText(buf, size, "450 session not active\r\n");
    tag = s.unique_tag;
    v4 = s.is_ipv4 != 0;
    state = s.state;
    error = s.error_code;
    status = s.send_status;
    served = s.served_slot.load();
    serial = s.served_serial.load();
    sent = s.bytes_sent;
    block = s.request.block_length;
    seek = s.request.range_start;
    file_size = s.file_size;
    connect_time = s.connect_time;
    data_time = s.data_time;
    peer_addr = s.peer_sockaddr;
  }
  char connect[40], data[40], peer[48] = "";
  FormatLocalTime(connect_time, connect, sizeof(connect));
  FormatLocalTime(data_time, data, sizeof(data));
  PeerAddressText(peer_addr, peer, sizeof(peer));
  return FormatText(buf, size,
                    "200 %d[%x]  %s debug code:%u %u %u map:%d(%x) transfer:%" PRId64 " file block:%" PRId64
                    " file seek:%" PRId64 " file size:%" PRId64 " time:%s data time:%s from:%s\r\n",
                    index, tag, v4 ? "Ipv4" : "Ipv6", state, error, status, served, serial, sent, block, seek,
                    file_size, connect, data, peer);
}

int WL_WebSvr::SessionListLine(int index, char* buf) {
  const int n = SessionText(index, buf, 1001);
  if (n < 4 || strncmp(buf, "200 ", 4) != 0) return 0;
  buf[3] = '-';
  return n;
}

int WL_WebSvr::StopSession(int index) {
  std::lock_guard<WL_Lock> hold(lock_);
  if (!sessions_ || index < 0 || index >= sessions_made_) return -1;
  WL_HttpSession& s = sessions_[index];
  if (!s.in_use.load(std::memory_order_acquire)) return 0;
  s.stop.store(true);
  s.socket.ShutdownByOther();
  return 1;
}

int32_t WL_WebSvr::ActiveSessions(bool ipv4) {
  std::lock_guard<WL_Lock> hold(lock_);
  int32_t n = 0;
  for (int i = 0; sessions_ && i < sessions_made_; ++i) {
    const WL_HttpSession& s = sessions_[i];
    if (s.in_use.load(std::memory_order_acquire) && (s.is_ipv4 != 0) == ipv4) ++n;
  }
  return n;
}

int32_t WL_WebSvr::SessionRecords() {
  std::lock_guard<WL_Lock> hold(lock_);
  return sessions_ ? sessions_made_ : 0;
}

bool WL_WebSvr::TryServiceLock() {
  if (!lock_.TryEnter()) return false;
  lock_.Leave();
  return true;
}
