#include "core/server.h"

#include <openssl/ssl.h>

#include <cinttypes>
#include <cstring>

#include "base/local_path.h"
#include "ftp/tls.h"
#include "base/time_text.h"
#include "daemons/ipv6_mail.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace {

constexpr unsigned kVersionMajor = 4;
constexpr unsigned kVersionMinor = 30;

}  // namespace

WL_ZelFtpSvr::WL_ZelFtpSvr() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  install_dir = ExecutableDir();
  listener_ctl.Clear();
  listener_ctl.owner = this;
}

WL_ZelFtpSvr::~WL_ZelFtpSvr() {
  fail_log.StopLog();
  // The process allocator must not outlive the pool it points at.
  ClearProcessPool(&mempool);
}

void WL_ZelFtpSvr::SetInstallDir(const std::string& dir) {
  install_dir = dir.empty() ? std::string("./") : dir;
  if (install_dir.back() != '/') install_dir += '/';
}

WL_FtpSession* WL_ZelFtpSvr::Session(uint32_t slot, uint8_t family) {
  WL_FtpSession* array = family == kFamilyV4 ? sessions_v4.get() : sessions_v6.get();
  if (array == nullptr || slot >= static_cast<uint32_t>(session_count_)) return nullptr;
  return &array[slot];
}

uint16_t WL_ZelFtpSvr::ListenerPort(WL_ListenerIndex which) const {
  int fd = listener_ctl.sockets[which].Get();
  return fd == kInvalidSocket ? 0 : NetLocalPort(fd);
}

void WL_ZelFtpSvr::ReportServiceEvent(const char* text, int type) { event_log.Report(text, type); }

void WL_ZelFtpSvr::ServiceLine(const char* text) {
  // Start and stop lines also go to standard error, so an operator of a
  // foreground server sees why a start failed.
  EchoToStderr(text, static_cast<int>(strlen(text)));
  if (set.Log_level == 0) return;
  service_log.AddLine(text, 0, false);
  if (set.Debug_mode) {
    service_log.FlushToLog();
    ftp_log.RequestFlush();
  }
}

void WL_ZelFtpSvr::StartLogs() {
  // 5. The log files lie in Log_path, or in config/.
  const std::string dir = set.Log_path.empty() ? install_dir + "config/" : set.Log_path + "/";
  const uint64_t limit = set.Log_maxsize >= 8388608 ? static_cast<uint64_t>(set.Log_maxsize) : 0;
  auto start = [&](WL_DaemonLog& log, const char* name) {
    if (log.started()) return true;
    log.SetMaximumSize(limit);
    const std::string path = dir + name;
    if (path.size() <= 1280) log.SetPath(path);
    return log.StartLog();
  };
  // 6.
  if (!start(ftp_log, "zellog.txt")) ReportServiceEvent("failed to start ftp log", kEventInformation);
  // 7.
  if (!start(fail_log, "zelfail.txt")) {
    LogTimestamped("Warning: failed to start bad login log daemon\r\n", 0);
    ReportServiceEvent("failed to start login log daemon", kEventInformation);
  }
}

bool WL_ZelFtpSvr::LogTimestamped(const char* text, int length) {
  if (set.Log_level == 0 || text == nullptr) return false;
  if (length < 1) length = static_cast<int>(strlen(text));
  if (length == 0 || length > 1279) return false;
  char line[1400];
  int n = FormatLogStamp(NowSeconds(), line, 64);
  if (n < 0) n = 0;
  line[n++] = ' ';
  memcpy(line + n, text, static_cast<size_t>(length));
  return ftp_log.Write(line, static_cast<size_t>(n + length));
}

bool WL_ZelFtpSvr::Start() {
  start_time = NowSeconds();
  // 1. Event source.
  if (!event_log.IsRegistered()) event_log.Register();
  ReportServiceEvent("service start", kEventInformation);

  // 2. The config directory must exist.
  std::string config_dir = install_dir + "config";
  ReplaceAll(&config_dir, "//", "/");
  if (!IsDirectory(config_dir)) {
    ReportServiceEvent("could not found sub directory of config", kEventError);
    return false;
  }

  // 3. Settings.
  if (!LoadSettings(config_dir + "/set.ini", install_dir, &set)) {
    ReportServiceEvent("failed to load config file", kEventInformation);
  }
  smtp.Configure(set);

  // 4. Greeting.
  greeting_text.Format("220 Welcome to zelfo server %u.%02u |%" PRIx64 "\r\n", kVersionMajor, kVersionMinor,
                       static_cast<uint64_t>(set.Ftp_shakecode));

  StartLogs();

  // 8-9. The staging logs of the start sequence, the listener and the pool.
  service_log.SetTarget(&ftp_log);
  if (!service_log.Activate()) {
    if (set.Debug_mode) LogTimestamped("Warning: failed to start min log for service start\r\n", 0);
    ReportServiceEvent("failed to start min log for service start", kEventInformation);
  }
  timer_log.SetTarget(&ftp_log);
  timer_log.Activate();
  listener_log.SetTarget(&ftp_log);
  listener_log.Activate();
  pool.SetLogTarget(&ftp_log);
  pool.log_level = set.Log_level;
  filemap.SetLogTarget(&ftp_log);
  filemap.log_enabled = set.Log_level > 3;

  // 10.
  ServiceLine("\r\n******Zelfo service start******\r\n");
  ServiceLine("Zelfo service: load config files ...\r\n");

  // 11. The econn service's family switches (it writes no log lines).
  econn.ipv4_enabled = set.Service_enablev4 != 0;
  econn.ipv6_enabled = set.Service_enablev6 != 0;

  // 12. Memory pool.
  ServiceLine("Zelfo service: start memory pool ...\r\n");
  if (!mempool.MemStart(set.Mpool_large, set.Mpool_big, set.Mpool_middle, set.Mpool_small)) {
    ServiceLine("Zelfo service: failed to start memory pool\r\n");
    ReportServiceEvent("failed to start memory pool", kEventError);
    return false;
  }
  SetProcessPool(&mempool);
  web.memory_pool = &mempool;
  web.thread_pool = &pool;

  // 13. The bulletin board's two rings; without them the board stays not
  // ready and its commands answer that it is not active.
  if (set.Bbs_enable) bbs.Prepare();

  // 14. The web log, beside the other logs.
  if (set.Log_level > 0) {
    const std::string dir = set.Log_path.empty() ? install_dir + "config/" : set.Log_path + "/";
    const std::string path = dir + "wlog.txt";
    if (!web.web_log.started()) {
      web.web_log.SetMaximumSize(set.Log_maxsize >= 8388608 ? static_cast<uint64_t>(set.Log_maxsize) : 0);
      if (path.size() <= 1280) web.web_log.SetPath(path);
      if (!web.web_log.StartLog()) {
        ServiceLine("Warning: failed to start web log\r\n");
        ReportServiceEvent("failed to start web log", kEventInformation);
      }
    }
  }

  // 15. TLS contexts.
  ServiceLine("Zelfo service: load ssl file ...\r\n");
  if (!LoadTlsContexts(this)) {
    ServiceLine("Zelfo service: failed to load ssl file\r\n");
    ReportServiceEvent("failed to load ssl file", kEventError);
    return false;
  }

  // 16. Session arrays.
  ServiceLine("Zelfo service: malloc user memory......\r\n");
  if (!AllocateSessions()) {
    ServiceLine("Zelfo service: failed to malloc memory for user\r\n");
    ReportServiceEvent("malloc user memory failed", kEventError);
    return false;
  }

  // 17. File map.
  ServiceLine("Zelfo service: start file map ...\r\n");
  filemap.table_size = set.Max_items;
  filemap.mime_level = set.Http_mimetype;
  filemap.long_timeout = set.Timeout_longmap;
  if (!filemap.StartMap()) {
    ServiceLine("Zelfo service: failed to start file map\r\n");
    ReportServiceEvent("failed to start file map", kEventError);
    return false;
  }

  // 18. The HTTP stream service serves the file map; connection records and
  // the IP firewall.
  web.filemap = &filemap;
  records[kRecConnV4].StopRecords();
  records[kRecConnV6].StopRecords();
  records[kRecLoginV4].StopRecords();
  records[kRecLoginV6].StopRecords();
  if (set.Service_enablev4) {
    records[kRecConnV4].StartRecords(0);
    records[kRecLoginV4].StartRecords(0);
  }
  if (set.Service_enablev6) {
    records[kRecConnV6].StartRecords(0);
    records[kRecLoginV6].StartRecords(0);
  }
  records[kRecLoginFail].StartRecords(32);
  records[kRecDownload].StartRecords(0);
  records[kRecUpload].StartRecords(0);
  records[kRecLongMap].StartRecords(0);
  firewall.ipv4_enabled = set.Ipv4_ipwall != 0;
  firewall.ipv6_enabled = set.Ipv6_ipwall != 0;
  firewall.prefix_block = set.Ipwall_prefixpblock != 0;
  firewall.max_tries = set.Max_trytimes;
  firewall.record_seconds = set.Record_seconds;
  firewall.scan_gap = set.Loop_scangapsec;
  firewall.table_size = set.Ipwall_listnum;
  if (!firewall.StartWall()) {
    ServiceLine("Warning: ip firewall not start\r\n");
    ReportServiceEvent("failed to start ip firewall", kEventInformation);
  }

  // 19. The econn service (its family switches came at step 11).
  econn.ipv4_port = set.Econ_portv4;
  econn.ipv6_port = set.Econ_portv6;
  econn.connect_timeout = set.Econn_connecttimeout;
  econn.data_wait_timeout = set.Econn_datawaittimeout;
  ServiceLine("Zelfo service: start econn service ...\r\n");
  if (!econn.StartEconn()) {
    ServiceLine("Zelfo service: failed to start econn service\r\n");
    ReportServiceEvent("failed to start econn service", kEventError);
    return false;
  }

  // 20. Thread pool and its manager.
  pool.ftp_entry = FtpSessionTask;
  pool.http_entry = HttpSessionTask;
  pool.table_size = set.Pool_maxthread;
  pool.high = set.Pool_high;
  pool.low = set.Pool_low;
  ServiceLine("Zelfo service: start thread pool ...\r\n");
  if (!pool.Start()) {
    ServiceLine("Zelfo service: failed to start thread pool\r\n");
    ReportServiceEvent("failed to start thread pool", kEventError);
    return false;
  }

  // 21. FTP listening sockets.
  ServiceLine("Zelfo service: prepare ftp service port ...\r\n");
  if (!OpenFtpListeners()) {
    ServiceLine("Zelfo service: failed to listen on ftp service port\r\n");
    ReportServiceEvent("failed to start ftp listen", kEventError);
    return false;
  }
  pool.PokeManager();

  // 22. The HTTP stream service.
  ServiceLine("Zelfo service: start http stream service ...\r\n");
  web.Configure(set);
  web.tls_handshake_seconds = tls_handshake_seconds;
  // One context serves both HTTPS families; both carry the same certificate.
  web.tls_ctx = tls_ctx_v4 != nullptr ? tls_ctx_v4 : tls_ctx_v6;
  if (!web.StartWebService()) {
    BoundedStr<320> line;
    line.Format("Zelfo service: failed to start http stream service:%d  %s\r\n", web.start_error,
                web.message.empty() ? "Unknown" : web.message.c_str());
    ServiceLine(line.c_str());
    ReportServiceEvent("failed to start http stream service", kEventError);
    return false;
  }

  // 23. The IO daemon, which runs the copies RCPY queues.
  ServiceLine("Zelfo service: start io daemon thread ...\r\n");
  if (!StartIoDaemon(this)) {
    ServiceLine("Zelfo service: failed to start io daemon thread\r\n");
    ReportServiceEvent("failed to start io daemon thread", kEventError);
    return false;
  }

  // 24. The timer daemon: map housekeeping, the address mail, the log
  // check, the auto backup and the firewalls' expiry.
  ServiceLine("Zelfo service: start timer daemon thread ...\r\n");
  if (!StartTimerDaemon(this)) {
    ServiceLine("Zelfo service: failed to start timer daemon thread\r\n");
    ReportServiceEvent("failed to start timer daemon thread", kEventError);
    return false;
  }

  // 25. The FTP main listen thread.
  ServiceLine("Zelfo service: start main listen thread ...\r\n");
  if (!StartListenThread()) {
    ServiceLine("Zelfo service: failed to start main listen thread\r\n");
    ReportServiceEvent("failed to start ftp main thread", kEventError);
    return false;
  }

  // 26.
  ServiceLine("Zelfo service: success start ...\r\n\r\n");
  ReportServiceEvent("zelfo service start success done!", kEventInformation);
  service_log.FlushToLog();
  return true;
}

void WL_ZelFtpSvr::StopListener() {
  listener_ctl.stop_requested.store(true);
  if (listener_ctl.running.load(std::memory_order_acquire)) {
    // The listener owns its sockets: wake it and let it close them.
    for (WL_OwnedSocket& s : listener_ctl.sockets) s.ShutdownByOther();
    SpinBackoff wait;
    while (listener_ctl.running.load(std::memory_order_acquire)) wait.Pause();
  }
  // Sockets of a listener that never ran have no other user.
  for (WL_OwnedSocket& s : listener_ctl.sockets) s.Close();
}

void WL_ZelFtpSvr::EndSessions(bool wait_for_free) {
  WL_FtpSession* arrays[2] = {sessions_v4.get(), sessions_v6.get()};
  for (WL_FtpSession* a : arrays) {
    if (a == nullptr) continue;
    for (int i = 0; i < session_count_; ++i) {
      a[i].close_flag.store(true);
      a[i].ctrl_socket.ShutdownByOther();
      a[i].data_socket.ShutdownByOther();
    }
    if (!wait_for_free) continue;
    // The worker of each session closes its own sockets and frees the slot.
    SpinBackoff wait;
    for (;;) {
      bool busy = false;
      for (int i = 0; i < session_count_ && !busy; ++i) busy = a[i].in_use.load(std::memory_order_acquire);
      if (!busy) break;
      for (int i = 0; i < session_count_; ++i) {
        if (a[i].in_use.load()) a[i].ctrl_socket.ShutdownByOther();
      }
      wait.Pause();
    }
  }
}

bool WL_ZelFtpSvr::Stop() {
  ServiceLine("Zelfo service: try to stop\r\n");

  // 2. Main listen thread.
  StopListener();
  filemap.SetStopping();
  ServiceLine("Zelfo service: success to stop main listen thread\r\n");

  // 3. Tell every session to end.
  EndSessions(false);

  // 4. The HTTP stream service: its listeners, then every session it runs.
  web.StopWebService();
  ServiceLine("Zelfo service: success to stop http stream service\r\n");

  // 5. The IO daemon: a copy in progress ends at its next block.
  StopIoDaemon(this);
  ServiceLine("Zelfo service: success to stop io daemon thread\r\n");

  // 6. The timer daemon, so that it starts no new mail or backup thread.
  StopTimerDaemon(this);
  ServiceLine("Zelfo service: success to stop timer daemon thread\r\n");

  // 7. The mail thread.
  StopMailThread(this);
  ServiceLine("Zelfo service: success to stop mail thread\r\n");

  // 8. The auto backup thread: a run ends within one copy block.
  StopBackupThread(this);
  ServiceLine("Zelfo service: success to stop auto backup thread\r\n");

  // 9. Wait until every slot is free, then free the arrays.
  EndSessions(true);
  sessions_v4.reset();
  sessions_v6.reset();
  session_count_ = 0;
  ServiceLine("Zelfo service: success to free user memory\r\n");

  // 10. The econn service: its threads close the sockets they hold.
  econn.StopEconn();
  bbs.Release();
  ServiceLine("Zelfo service: success to stop econn service\r\n");

  // 11. Thread pool.
  pool.StopPool();
  ServiceLine("Zelfo service: success to stop thread pool\r\n");

  // 12. File map.
  filemap.StopMap();
  ServiceLine("Zelfo service: success to stop file map\r\n");

  // 13. Firewall and records, then the memory pool, released last: every
  // block is back by now.
  firewall.Stop();
  for (WL_NetRecord& r : records) r.StopRecords();
  FreeTlsContexts(this);
  mempool.MemRelease();
  ServiceLine("Zelfo service: success to stop memory pool\r\n");

  // 14.
  ServiceLine("Zelfo service: success stopped!\r\n");
  timer_log.FlushToLog();
  listener_log.FlushToLog();
  service_log.FlushToLog();
  ftp_log.StopLog();
  ReportServiceEvent("zelfo service stop done", kEventInformation);
  return true;
}

bool WL_ZelFtpSvr::LoadAccountFiles() {
  const bool shares = resources.LoadResources(install_dir + "config/myshare.txt");
  const bool users = accounts.LoadAccounts(install_dir + "config/myaccount.ini") &&
                     PathKind(install_dir + "config/myaccount.ini") == kPathRegular;
  accounts.CountAccountSlots();
  return shares && users;
}

void WL_ZelFtpSvr::RecordPeer(RecordList list, const WL_FtpSession& s) {
  if (s.is_ipv4) {
    uint32_t v;
    memcpy(&v, s.peer_addr, 4);
    records[list].AddIpv4(v);
  } else {
    records[list].AddIpv6(s.peer_addr);
  }
}

bool WL_ZelFtpSvr::AllocateSessions() {
  if (set.Max_users < 2 || set.Max_users > 63) return false;
  // Seeds come from the kernel so session ids and tokens cannot be derived
  // from the start time.
  uint32_t seeds[2];
  if (!KernelRandom(seeds, sizeof(seeds))) return false;
  const int n = set.Max_users;
  auto build = [&](std::unique_ptr<WL_FtpSession[]>* out, uint8_t is_ipv4, uint32_t a, uint32_t b) {
    out->reset(new (std::nothrow) WL_FtpSession[static_cast<size_t>(n)]);
    if (!*out) return false;
    for (int i = 0; i < n; ++i) {
      WL_FtpSession& s = (*out)[i];
      s.slot_index = static_cast<uint16_t>(i);
      s.is_ipv4 = is_ipv4;
      s.session_log.SetTarget(&ftp_log);
      uint64_t state;
      if (!KernelRandom(&state, sizeof(state))) return false;
      s.random.Seed(state);
      s.random.Mix(a, b, static_cast<uint32_t>(i + i % 30), static_cast<uint32_t>(3 * i + 2));
    }
    return true;
  };
  session_count_ = n;
  if (set.Service_enablev4 && !build(&sessions_v4, 1, seeds[0], seeds[1])) return false;
  if (set.Service_enablev6 && !build(&sessions_v6, 0, seeds[1], seeds[0])) return false;
  return sessions_v4 || sessions_v6;
}

bool WL_ZelFtpSvr::OpenFtpListeners() {
  const bool v4 = set.Service_enablev4 != 0;
  const bool v6 = set.Service_enablev6 != 0;
  if ((v4 && set.Service_portv4 == 0) || (v6 && set.Service_portv6 == 0) || (!v4 && !v6)) return false;
  struct Plan {
    bool on;
    int family;
    uint16_t port;
    uint16_t implicit_port;
    WL_ListenerIndex plain;
    WL_ListenerIndex implicit;
  };
  const Plan plans[2] = {
      {v4, AF_INET, set.Service_portv4, set.Service_implicitv4, kListenV4, kListenV4Implicit},
      {v6, AF_INET6, set.Service_portv6, set.Service_implicitv6, kListenV6, kListenV6Implicit},
  };
  for (const Plan& p : plans) {
    if (!p.on) continue;
    int fd = NetListen(p.family, p.port, 20);
    if (fd == kInvalidSocket) return false;
    listener_ctl.sockets[p.plain].Set(fd);
    if (set.Implicit_mode && p.implicit_port != 0) {
      fd = NetListen(p.family, p.implicit_port, 12);
      if (fd == kInvalidSocket) return false;
      listener_ctl.sockets[p.implicit].Set(fd);
    }
  }
  return listener_ctl.sockets[kListenV4].IsOpen() || listener_ctl.sockets[kListenV6].IsOpen();
}
