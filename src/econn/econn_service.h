// The econn rendezvous service: a client opens a data connection by
// connecting to one fixed econn port and presenting the key its session
// derived with CONN or CONS; the service hands the socket to the session.
//
// One listener and one thread per family. The thread owns its listener and
// its table of pending connections (accepted, handshake line not complete).
// The wait table (one entry per FTP session slot) is shared with the session
// workers and changed only under the family's lock; a socket that moved into
// a wait entry belongs to whoever holds that lock: the session takes it, the
// thread's time-out scan or RemoveWaitSession closes it.
//
// Handshake line, 43 bytes: the slot as exactly 8 hexadecimal digits, one
// blank, the 32-character key, CR LF. On a match the service answers
// "200 %04x\r\n" ("234 %04x\r\n" for a TLS data connection) with the
// client's id when the session asked for a reply, and wakes the session.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/socket.h"
#include "platform/sync.h"

class WL_EFtpCon {
 public:
  static constexpr int kPendingEntries = 127;
  static constexpr int kWaitEntries = 64;
  // Pending connections one address may hold beyond its waiting sessions.
  static constexpr int kExtraPerAddress = 16;
  static constexpr int kLineBytes = 43;
  static constexpr int kKeyChars = 32;

  WL_EFtpCon();
  virtual ~WL_EFtpCon();
  WL_EFtpCon(const WL_EFtpCon&) = delete;
  WL_EFtpCon& operator=(const WL_EFtpCon&) = delete;

  // Configuration, set before StartEconn (start step 19).
  bool ipv4_enabled = true;
  bool ipv6_enabled = true;
  uint16_t ipv4_port = 2020;
  uint16_t ipv6_port = 2020;
  int64_t connect_timeout = 65;     // seconds a pending connection may take for its line
  int64_t data_wait_timeout = 100;  // seconds a connected entry waits for its session

  // Opens the listeners of the enabled families and starts their threads.
  // False on failure (start_error() tells which step); what was started
  // stays until StopEconn.
  bool StartEconn();
  // Stops both threads (each closes the sockets it holds) and frees every
  // entry. Safe to call at any time, also after a failed start.
  void StopEconn();

  bool running() const { return active_.load(std::memory_order_acquire); }
  int start_error() const { return start_error_; }
  // The econn port of a family (0 when not running or the family's
  // listener is not open).
  uint16_t PortFor(bool ipv4) const;

  // Registers a wait entry for a slot, replacing (and closing) what the
  // slot held. False when the service is not running, the family is not
  // enabled, the key is not 32 characters or the slot is above 63.
  bool AddWaitSession(bool ipv4, const uint8_t peer[16], const char* key, uint32_t slot, bool tls,
                      uint8_t response_option, uint16_t client_value, WL_Semaphore* wake);
  // Frees the slot's entry and closes its socket. False when the entry was
  // free.
  bool RemoveWaitSession(bool ipv4, uint32_t slot);
  bool IsWaitSessionUsed(bool ipv4, uint32_t slot);
  // Takes the connected socket of the slot's entry when its key matches.
  // Returns 1 with *fd set (the caller owns it), 0 when nothing is connected
  // yet, -1 on a key mismatch (the entry's socket was closed, the entry
  // freed).
  int TakeEconnSocket(bool ipv4, uint32_t slot, const char* key, int* fd);
  // The status commands' list lines, each at most 1000 characters: one
  // wait entry ("200-%d ip=%s status=%d time=%s ssl=%d\r\n") and one pending
  // connection ("200-%d ip=%s start time=%s buff size=%d\r\n"). 0 (nothing
  // written) when the service is not active, the index is outside the table
  // or the entry is free. The entry is copied before it is formatted: the
  // wait entry under the family's lock, the pending one (which its thread
  // changes without a lock) field by field, so a line may show a moment-old
  // mix but never reads outside the table.
  int WaitLine(uint32_t slot, bool is_ipv6, char* buf);
  int PendingLine(uint32_t index, bool is_ipv6, char* buf);
  // Lock and thread check: whether the family's lock can be taken at once
  // (it is released again), and whether either family's thread runs.
  bool TryFamilyLock(bool ipv4);
  bool AnyThreadRunning() const {
    return v4_.running.load(std::memory_order_acquire) || v6_.running.load(std::memory_order_acquire);
  }
  // Counts a semaphore wake-up of a waiting session.
  void CountWakeUp() { calls_.fetch_add(1, std::memory_order_relaxed); }

  uint64_t accepted(bool ipv4) const { return Fam(ipv4).accepted.load(std::memory_order_relaxed); }
  uint64_t denied(bool ipv4) const { return Fam(ipv4).denied.load(std::memory_order_relaxed); }
  uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

  // Tests shorten the time limits (seconds) and the gap between two
  // time-out scans of a running service; StartEconn sets them from the
  // configuration.
  void SetLimits(int64_t connect_seconds, int64_t data_wait_seconds, int64_t scan_gap_seconds);

  // The slot number of a complete handshake line: exactly 8 hexadecimal
  // digits (no sign, no blanks) below 64, then one blank, 32 key bytes and
  // CR LF. False for any other line.
  static bool ParseLine(const char line[kLineBytes], uint32_t* slot);
  // Whether the 32 bytes of a and b agree without regard to letter case.
  // Looks at every byte whatever the outcome, so the time taken tells
  // nothing about where a guess went wrong.
  static bool KeysMatch(const char* a, const char* b);

 private:
  struct PendingEntry {
    bool used = false;
    int fd = kInvalidSocket;
    int received = 0;
    int64_t last_time = 0;
    int64_t accept_time = 0;
    uint8_t addr[16] = {};
    char line[kLineBytes + 1] = {};
  };
  struct WaitEntry {
    bool used = false;
    bool tls = false;
    bool reply = true;
    int32_t status = 0;  // 1 waiting for a connection, 2 connected
    uint16_t id = 0;
    uint8_t addr[16] = {};
    int fd = kInvalidSocket;
    int64_t time = 0;
    WL_Semaphore* waiter = nullptr;
    char key[kKeyChars + 1] = {};
  };
  struct Family {
    WL_EFtpCon* owner = nullptr;
    bool ipv4 = true;
    uint16_t port = 0;
    WL_OwnedSocket listener;
    WL_Lock lock;
    bool open = false;  // under lock: the thread runs and takes connections
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    std::atomic<int64_t> thread_id{-1};
    std::atomic<bool> purge{false};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> denied{0};
    PendingEntry pending[kPendingEntries];  // the thread's alone
    WaitEntry wait[kWaitEntries];           // under lock
  };

  static void* ThreadEntry(void* arg);
  const Family& Fam(bool ipv4) const { return ipv4 ? v4_ : v6_; }
  Family& Fam(bool ipv4) { return ipv4 ? v4_ : v6_; }
  bool StartFamily(Family& f, bool enabled, uint16_t port);
  void StopFamily(Family& f);
  void Run(Family& f);
  void ServePending(Family& f, int index);
  bool Handshake(Family& f, PendingEntry& p);
  void AcceptBurst(Family& f);
  void TimeoutScan(Family& f, int64_t now);
  void Purge(Family& f);
  void CloseEverything(Family& f);
  static void ClearWait(WaitEntry& w, int64_t now);
  static void DropPending(PendingEntry& p);

  std::atomic<bool> active_{false};
  int start_error_ = 0;
  std::atomic<uint64_t> calls_{0};
  std::atomic<int64_t> connect_limit_{65};
  std::atomic<int64_t> data_wait_limit_{100};
  std::atomic<int64_t> scan_gap_{11};
  Family v4_;
  Family v6_;
};
