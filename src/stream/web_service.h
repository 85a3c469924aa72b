// The HTTP stream service: listeners, the HTTP main thread and the session
// records that stream mapped files to HTTP and HTTPS clients.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/firewall.h"
#include "base/format.h"
#include "base/logs.h"
#include "base/net_record.h"
#include "base/random64.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "stream/http_session.h"
#include "stream/test_stream.h"

struct ssl_ctx_st;
struct WL_Settings;
class WL_MapFiles;
class WL_MMemXPool;
class WL_ZelfoThreadPool;

// Start errors (start_error) besides the listener codes.
enum : int32_t {
  kWebSessionsExist = -1,
  kWebNoFileMap = -2,
  kWebNoMemoryPool = -3,
  kWebNoSessions = -4,
  kWebNoFirewall = -10,
  kWebNoListener = -11,
  kWebNoSocketReady = -41,
  kWebNoThread = -50,
  kWebNoTlsV4 = -71,
  kWebNoTlsV6 = -72,
};

// The listening sockets, in the order the main thread polls them.
enum WL_WebListener { kWebHttpV4 = 0, kWebHttpV6 = 1, kWebHttpsV4 = 2, kWebHttpsV6 = 3 };

class WL_WebSvr {
 public:
  WL_WebSvr();
  virtual ~WL_WebSvr();
  WL_WebSvr(const WL_WebSvr&) = delete;
  WL_WebSvr& operator=(const WL_WebSvr&) = delete;

  // The service's own IP firewall: bad requests count against an address;
  // a successful map (MAPF, LMPF) clears the mapping client.
  WL_IPFireWall firewall;
  // The test stream that SNMF arms.
  WL_TestStream test_stream;

  // Copies the service's settings (ports, switches, limits) and the
  // firewall's limits; the HTTP firewall allows five more failures than the
  // FTP one.
  void Configure(const WL_Settings& set);

  bool StartWebService();
  void StopWebService();
  // The file map's serving callback: the session that serves (slot,
  // serial) over the family now, or a negative number.
  static int FindServingSession(int last_session, int slot, uint32_t serial, bool is_ipv4, void* context);
  // Status lines of one session for DUMP and SNAP; text lengths. They hold
  // lock_ while they copy the record, so the table cannot be freed under
  // them by the service's stop.
  int SessionText(int index, char* buf, size_t size);
  int SessionListLine(int index, char* buf);
  // KILL: asks session index to end (its stop flag, and its socket shut
  // down so that its waits return; the worker closes it). -1 without a
  // session table or for an index outside it, 0 for a free record, 1 done.
  int StopSession(int index);
  // Records in use of a family, and the records of the table (0 without
  // one), for the status commands.
  int32_t ActiveSessions(bool ipv4);
  int32_t SessionRecords();
  // Lock check: whether lock_ can be taken at once (it is released again).
  bool TryServiceLock();
  // One time-stamped line into the web log (length 0: the text's own).
  void WriteServiceLog(const char* text, int length, bool add_crlf);
  // The network-type filter and the firewall for a new session.
  bool AdmitPeer(int slot);
  // Local port of an open listener (0 when closed).
  uint16_t ListenerPort(WL_WebListener which) const;
  // Adds a finished session's bytes to the total.
  void AddBytesSent(int64_t n);
  WL_HttpSession* Session(uint32_t index);

  // Settings (Configure sets them; tests may change them before the start).
  uint8_t ipv4_enabled = 1;
  uint8_t ipv6_enabled = 1;
  uint8_t https_v4 = 0;
  uint8_t https_v6 = 0;
  uint8_t protect_mode = 1;
  uint8_t send_404 = 1;
  uint8_t bad_head_404 = 0;
  uint16_t http_port_v4 = 8080;
  uint16_t https_port_v4 = 8081;
  uint16_t http_port_v6 = 8080;
  uint16_t https_port_v6 = 8081;
  int32_t session_count = 72;
  int32_t net_type_v4 = 0;
  int32_t net_type_v6 = 0;
  int32_t log_level = 0;
  int32_t head_timeout = 55;
  int32_t send_timeout = 1200;
  int32_t mime_level = 10;
  int64_t tls_handshake_seconds = 64;

  // Components handed over by the server before the start.
  ssl_ctx_st* tls_ctx = nullptr;
  WL_MapFiles* filemap = nullptr;
  WL_ZelfoThreadPool* thread_pool = nullptr;
  WL_MMemXPool* memory_pool = nullptr;

  int32_t start_error = 0;
  BoundedStr<200> message;
  bool main_running() const { return main_running_.load(std::memory_order_acquire); }

  // Counters.
  std::atomic<int64_t> accepted{0};
  int64_t bytes_sent_total = 0;  // under lock_
  std::atomic<int64_t> fatal_errors{0};
  std::atomic<int64_t> full_refusals{0};
  std::atomic<int64_t> no_worker_refusals{0};
  std::atomic<int64_t> disk_errors{0};
  int64_t BytesSentTotal();

  WL_DaemonLog web_log;
  WL_NetRecord connect_v4;
  WL_NetRecord connect_v6;
  WL_NetRecord visitors;

 private:
  friend void* HttpMainThread(void*);
  void MainLoop();
  void AcceptOne(int fd, int which, const struct sockaddr_storage& peer);
  bool OpenListeners();
  bool Refuse(int32_t code, const char* fmt);
  void CloseAllSessions();
  void MainLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  std::atomic<bool> main_running_{false};
  std::atomic<bool> stop_{false};
  // A start was logged and its stop is not yet: the stop line pairs with it
  // once, whether the start got far or not.
  bool start_logged_ = false;
  std::atomic<uint32_t> main_thread_id_{0};
  WL_OwnedSocket listeners_[4];
  std::unique_ptr<WL_HttpSession[]> sessions_;
  int32_t sessions_made_ = 0;  // records in sessions_
  WL_Lock lock_;
  WL_NoLockRandom64 unique_;
  WL_MinMemLog memory_log_;
};
