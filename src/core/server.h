// The one server object: it owns every component, runs the start and stop
// sequences, and is the context every FTP command handler receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "accounts/account.h"
#include "accounts/resource.h"
#include "base/firewall.h"
#include "bbs/bbs_board.h"
#include "base/format.h"
#include "base/logs.h"
#include "base/mem_pool.h"
#include "base/net_record.h"
#include "base/thread_pool.h"
#include "core/settings.h"
#include "daemons/auto_backup.h"
#include "daemons/io_daemon.h"
#include "daemons/ipv6_mail.h"
#include "daemons/timer_daemon.h"
#include "daemons/smtp_client.h"
#include "econn/econn_service.h"
#include "ftp/session.h"
#include "platform/oslog.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "stream/file_map.h"
#include "stream/web_service.h"

// Control block of a long-lived thread: the thread sets thread_id, then
// running and started when it enters its loop; it leaves when stop_requested
// is set and clears running as its last act.
struct WL_ThreadControl {
  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> started{false};
  std::atomic<int64_t> thread_id{-1};
  void* owner = nullptr;

  void Clear() {
    running.store(false);
    stop_requested.store(false);
    started.store(false);
    thread_id.store(-1);
  }
};

// The FTP listening sockets, in the order the listener polls them.
enum WL_ListenerIndex { kListenV4 = 0, kListenV6 = 1, kListenV4Implicit = 2, kListenV6Implicit = 3 };

struct WL_ListenerControl : WL_ThreadControl {
  WL_OwnedSocket sockets[4];
};

class WL_ZelFtpSvr {
 public:
  static constexpr uint8_t kFamilyV4 = 0;
  static constexpr uint8_t kFamilyV6 = 1;

  // The connection record lists, in the order they are built.
  enum RecordList {
    kRecConnV4 = 0,
    kRecConnV6,
    kRecLoginV4,
    kRecLoginV6,
    kRecLoginFail,
    kRecDownload,
    kRecUpload,
    kRecLongMap,
    kRecordLists
  };

  WL_ZelFtpSvr();
  virtual ~WL_ZelFtpSvr();
  WL_ZelFtpSvr(const WL_ZelFtpSvr&) = delete;
  WL_ZelFtpSvr& operator=(const WL_ZelFtpSvr&) = delete;

  // Replaces the install directory (the host's --home). A trailing "/" is
  // added when missing.
  void SetInstallDir(const std::string& dir);

  bool Start();
  bool Stop();

  // Sends length bytes of text on the slot's control connection within
  // timeout seconds. True when everything went out.
  bool SendReply(uint32_t slot, uint8_t family, const char* text, int length, int timeout, bool log);
  bool AllocateSessions();
  bool OpenFtpListeners();
  // Loads config/myshare.txt and config/myaccount.ini. True when both loaded.
  bool LoadAccountFiles();
  // Writes config/zelreport.txt (the effective configuration) when
  // Make_reportfile is on. False when it is off or the file cannot be
  // written.
  bool WriteStatusReport();
  // Adds the session's peer to one of the record lists.
  void RecordPeer(RecordList list, const WL_FtpSession& s);
  // Writes one line straight into the FTP log with the local time stamp.
  bool LogTimestamped(const char* text, int length);
  void ReportServiceEvent(const char* text, int type);

  // The slot of a family's array, or nullptr.
  WL_FtpSession* Session(uint32_t slot, uint8_t family);

  // Local port of an open listener (0 when closed); tests use it with port 0.
  uint16_t ListenerPort(WL_ListenerIndex which) const;

  std::string install_dir;
  // The TLS server contexts (absent until loaded) and how long a handshake
  // may take, in seconds (tests shorten it).
  struct ssl_ctx_st* tls_ctx_v4 = nullptr;
  struct ssl_ctx_st* tls_ctx_v6 = nullptr;
  int64_t tls_handshake_seconds = 64;
  int64_t start_time = 0;  // seconds; the time shown for resources at the root
  WL_ListenerControl listener_ctl;
  // The mail thread of the IPv6 address mail (at most one at a time).
  WL_ThreadControl mail_ctl;
  // The timer daemon, the IO daemon and the auto backup thread (at most
  // one run at a time).
  WL_ThreadControl timer_ctl;
  WL_ThreadControl io_ctl;
  WL_ThreadControl backup_ctl;
  // The timer daemon's clock; nullptr is the real one. Tests in the
  // process set their own before Start to let wake-ups pass on demand.
  WL_TimerClock* timer_clock = nullptr;
  // The IO daemon's mailbox, its job queue (under totals_lock) and its count
  // of jobs done.
  WL_IoState io;
  // The auto backup: last start, BKUP's request, counters.
  WL_BackupState backup;
  WL_Settings set;

  std::atomic<uint64_t> total_connects{0};
  uint64_t total_bytes_sent = 0;      // under totals_lock
  uint64_t total_bytes_received = 0;  // under totals_lock
  std::atomic<uint64_t> login_count{0};
  std::atomic<uint64_t> no_worker_rejects{0};
  std::atomic<uint64_t> full_rejects_v4{0};
  std::atomic<uint64_t> full_rejects_v6{0};
  std::atomic<uint64_t> login_fail_count{0};
  std::atomic<uint64_t> bad_task_count{0};
  std::atomic<int64_t> extend_security_count{0};  // refused extend-security checks
  std::atomic<int64_t> file_read_errors{0};
  std::atomic<int64_t> file_write_errors{0};
  std::atomic<int64_t> joint_checksum_errors{0};  // joint chunks whose checksum did not match
  std::atomic<int64_t> file_hash_count{0};        // F256 runs
  // The IPv6 address mail: last address, attempt, result, counts, resend
  // request.
  WL_MailState mail;

  BoundedStr<513> greeting_text;
  WL_FtpAccount accounts;
  WL_FtpResource resources;
  WL_MMemXPool mempool;
  WL_DaemonLog ftp_log;
  WL_DaemonLog fail_log;
  WL_MinMemLog service_log;
  WL_MinMemLog timer_log;
  WL_MinMemLog listener_log;
  WL_Semaphore timer_wakeup{72};
  WL_IPFireWall firewall;
  WL_NetRecord records[kRecordLists];
  Wl_OsLog event_log;
  WL_MapFiles filemap;
  WL_EFtpCon econn;
  WL_ZelfoThreadPool pool;
  WL_Lock account_lock;
  WL_WebSvr web;
  // Sends the IPv6 address mail; its settings come from ZelSvrMailSet.
  WL_SmtpClient smtp;
  WL_Lock totals_lock;
  // The hot and top paths (AHOT, ATOP): virtual paths of at most 1000
  // bytes, empty while not set; read and written under totals_lock.
  BoundedStr<1001> hot_path;
  BoundedStr<1001> top_path;
  std::unique_ptr<WL_FtpSession[]> sessions_v4;
  std::unique_ptr<WL_FtpSession[]> sessions_v6;
  // The temporary-account switch (TEMP): account slot 2 logs in only while
  // it is 1.
  std::atomic<uint8_t> temp_account{1};
  void* service_object = nullptr;
  int (*power_request)(bool reboot, void* service) = nullptr;
  // The power mode SHUT asked for last: 1 reboot, 2 power off.
  std::atomic<int32_t> requested_power_mode{0};
  // The bulletin board (ABBS, GBBS, DBBS); ready while Bbs_enable is on.
  WL_BBSBoard bbs;

 private:
  friend void* FtpMainListenThread(void*);
  void ServiceLine(const char* text);
  void StartLogs();
  void ListenLoop();
  void AcceptConnection(int fd, int which, const struct sockaddr_storage& peer, uint32_t& serial);
  void RecordConnection(const struct sockaddr_storage& peer);
  void ListenerLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  bool StartListenThread();
  void StopListener();
  void EndSessions(bool wait_for_free);

  int session_count_ = 0;  // slots per array once allocated
};

// The FTP session task run by pool workers.
int FtpSessionTask(uint32_t slot_index, uint8_t family, const std::atomic<bool>* stop, void* context);
