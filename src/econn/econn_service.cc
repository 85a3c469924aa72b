#include "econn/econn_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>

#include "base/format.h"
#include "base/net_text.h"
#include "base/text_scan.h"
#include "base/time_text.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr size_t kThreadStack = 4194304;
constexpr int kListenBacklog = 20;
constexpr int kAcceptBurst = 128;
constexpr int kPollPendingMs = 2100;
constexpr int kPollIdleMs = 10100;
constexpr int kMaxDrain = 72;

bool SameAddress(const uint8_t a[16], const uint8_t b[16]) { return memcmp(a, b, 16) == 0; }

// Lower-cases an ASCII letter without a branch on the byte.
uint8_t Fold(uint8_t c) {
  const uint8_t upper = static_cast<uint8_t>(static_cast<uint8_t>(c - 'A') < 26);
  return static_cast<uint8_t>(c | (upper << 5));
}

// Sends the whole reply at once, trying a second time at once when the
// socket would block. True only when every byte went out.
bool SendReplyLine(int fd, const char* text, size_t length) {
  size_t sent = 0;
  for (int attempt = 0; attempt < 2 && sent < length; ++attempt) {
    const IoResult r = NetSend(fd, text + sent, length - sent);
    if (r.status == IoStatus::kOk) {
      sent += r.count;
    } else if (r.status != IoStatus::kWouldBlock) {
      return false;
    }
  }
  return sent == length;
}

void CloseSocket(int fd) {
  if (fd == kInvalidSocket) return;
  NetShutdown(fd);
  NetClose(fd);
}

}  // namespace

WL_EFtpCon::WL_EFtpCon() {
  v4_.owner = this;
  v4_.ipv4 = true;
  v6_.owner = this;
  v6_.ipv4 = false;
}

WL_EFtpCon::~WL_EFtpCon() { StopEconn(); }

bool WL_EFtpCon::ParseLine(const char line[kLineBytes], uint32_t* slot) {
  if (line[kLineBytes - 2] != '\r' || line[kLineBytes - 1] != '\n') return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const int d = HexDigit(line[i]);
    if (d < 0) return false;
    value = value * 16 + static_cast<uint32_t>(d);
  }
  if (line[8] != ' ' || value >= kWaitEntries) return false;
  *slot = value;
  return true;
}

bool WL_EFtpCon::KeysMatch(const char* a, const char* b) {
  uint8_t diff = 0;
  for (int i = 0; i < kKeyChars; ++i) {
    diff |= static_cast<uint8_t>(Fold(static_cast<uint8_t>(a[i])) ^ Fold(static_cast<uint8_t>(b[i])));
  }
  return diff == 0;
}

void WL_EFtpCon::SetLimits(int64_t connect_seconds, int64_t data_wait_seconds, int64_t scan_gap_seconds) {
  connect_limit_.store(connect_seconds);
  data_wait_limit_.store(data_wait_seconds);
  scan_gap_.store(scan_gap_seconds);
}

uint16_t WL_EFtpCon::PortFor(bool ipv4) const {
  if (!running()) return 0;
  const Family& f = Fam(ipv4);
  return f.running.load(std::memory_order_acquire) ? f.port : 0;
}

void WL_EFtpCon::ClearWait(WaitEntry& w, int64_t now) {
  w.used = false;
  w.tls = false;
  w.reply = true;
  w.status = 0;
  w.id = 0;
  memset(w.addr, 0, sizeof(w.addr));
  w.fd = kInvalidSocket;
  w.time = now;
  w.waiter = nullptr;
  memset(w.key, 0, sizeof(w.key));
}

void WL_EFtpCon::DropPending(PendingEntry& p) {
  CloseSocket(p.fd);
  p = PendingEntry();
}

bool WL_EFtpCon::StartEconn() {
  // A running service, or what a failed start left behind, goes first.
  StopEconn();
  start_error_ = 0;
  calls_.store(0);
  if (connect_timeout < 15 || connect_timeout > 360) connect_timeout = 100;
  if (data_wait_timeout < 15 || data_wait_timeout > 600) data_wait_timeout = 310;
  SetLimits(connect_timeout, data_wait_timeout, 11);
  if (!ipv4_enabled && !ipv6_enabled) {
    start_error_ = -1;
    return false;
  }
  if (ipv4_port <= 1024) ipv4_port = 2020;
  if (ipv6_port <= 1024) ipv6_port = 2020;
  if (!StartFamily(v4_, ipv4_enabled, ipv4_port)) return false;
  if (!StartFamily(v6_, ipv6_enabled, ipv6_port)) return false;
  active_.store(true, std::memory_order_release);
  return true;
}

bool WL_EFtpCon::StartFamily(Family& f, bool enabled, uint16_t port) {
  f.purge.store(false);
  f.accepted.store(0);
  f.denied.store(0);
  f.running.store(false);
  f.stop.store(false);
  f.started.store(false);
  f.thread_id.store(-1);
  f.port = port;
  for (PendingEntry& p : f.pending) p = PendingEntry();
  {
    std::lock_guard<WL_Lock> g(f.lock);
    for (WaitEntry& w : f.wait) ClearWait(w, 0);
    f.open = false;
  }
  if (!enabled) return true;

  int stage = 0;
  const int fd = NetListenStaged(f.ipv4 ? AF_INET : AF_INET6, port, kListenBacklog, &stage);
  if (fd == kInvalidSocket) {
    static const int kV4[] = {0, -21, -22, -23};
    static const int kV6[] = {0, -31, -32, -33};
    start_error_ = (f.ipv4 ? kV4 : kV6)[stage >= 1 && stage <= 3 ? stage : 1];
    return false;
  }
  f.listener.Set(fd);
  if (!StartThread(&WL_EFtpCon::ThreadEntry, &f, kThreadStack)) {
    f.listener.Close();  // no thread ever saw it
    start_error_ = f.ipv4 ? -11 : -18;
    return false;
  }
  SpinBackoff wait;
  while (!f.started.load(std::memory_order_acquire)) wait.Pause();
  return true;
}

void WL_EFtpCon::StopEconn() {
  Family* both[2] = {&v4_, &v6_};
  for (Family* f : both) f->stop.store(true);
  active_.store(false, std::memory_order_release);
  for (Family* f : both) StopFamily(*f);
}

void WL_EFtpCon::StopFamily(Family& f) {
  if (f.started.load(std::memory_order_acquire)) {
    // The thread owns the listener and every socket of its tables: wake it
    // and let it close them on its way out.
    f.listener.ShutdownByOther();
    SpinBackoff wait;
    while (f.running.load(std::memory_order_acquire)) wait.Pause();
  }
  // A listener whose thread never ran has no other user.
  f.listener.Close();
  f.started.store(false);
  f.thread_id.store(-1);
}

void* WL_EFtpCon::ThreadEntry(void* arg) {
  Family* f = static_cast<Family*>(arg);
  f->owner->Run(*f);
  return nullptr;
}

void WL_EFtpCon::Run(Family& f) {
  f.thread_id.store(CurrentThreadId());
  {
    std::lock_guard<WL_Lock> g(f.lock);
    f.open = true;
  }
  f.running.store(true, std::memory_order_release);
  f.started.store(true, std::memory_order_release);

  int fds[kMaxReadableSet];
  int index[kMaxReadableSet];
  bool ready[kMaxReadableSet];
  int64_t last_scan = NowSeconds();
  for (uint32_t pass = 1; !f.stop.load(std::memory_order_acquire); ++pass) {
    if (pass % 3 == 0) {
      const int64_t now = NowSeconds();
      if (now < last_scan || now - last_scan > scan_gap_.load()) {
        last_scan = now;
        TimeoutScan(f, now);
      }
    }
    if (f.purge.exchange(false)) Purge(f);

    int n = 0;
    fds[n] = f.listener.Get();
    index[n++] = -1;
    for (int i = 0; i < kPendingEntries; ++i) {
      if (f.pending[i].used && f.pending[i].fd != kInvalidSocket) {
        fds[n] = f.pending[i].fd;
        index[n++] = i;
      }
    }
    const int rc = WaitReadableSet(fds, ready, n, n > 1 ? kPollPendingMs : kPollIdleMs);
    if (f.stop.load(std::memory_order_acquire)) break;
    if (rc < 0) {
      SleepMs(10);  // poll itself failed: do not spin
      continue;
    }
    for (int k = 1; k < n; ++k) {
      if (ready[k]) ServePending(f, index[k]);
    }
    if (ready[0]) AcceptBurst(f);
  }

  CloseEverything(f);
  f.running.store(false, std::memory_order_release);
}

void WL_EFtpCon::CloseEverything(Family& f) {
  for (PendingEntry& p : f.pending) {
    if (p.used) DropPending(p);
  }
  {
    std::lock_guard<WL_Lock> g(f.lock);
    f.open = false;
    const int64_t now = NowSeconds();
    for (WaitEntry& w : f.wait) {
      if (!w.used) continue;
      CloseSocket(w.fd);
      ClearWait(w, now);
    }
  }
  f.listener.Close();
}

void WL_EFtpCon::ServePending(Family& f, int i) {
  PendingEntry& p = f.pending[i];
  const IoResult r = NetRecv(p.fd, p.line + p.received, static_cast<size_t>(kLineBytes - p.received));
  if (r.status == IoStatus::kWouldBlock) return;
  if (r.status != IoStatus::kOk) {
    DropPending(p);
    return;
  }
  p.received += static_cast<int>(r.count);
  p.line[p.received] = '\0';
  if (p.received < kLineBytes) return;
  if (Handshake(f, p)) {
    p = PendingEntry();  // the socket now belongs to the wait entry
  } else {
    DropPending(p);
  }
}

bool WL_EFtpCon::Handshake(Family& f, PendingEntry& p) {
  uint32_t slot = 0;
  if (!ParseLine(p.line, &slot)) return false;
  const char* key = p.line + 9;
  std::lock_guard<WL_Lock> g(f.lock);
  WaitEntry& w = f.wait[slot];
  if (!w.used || w.status != 1 || !SameAddress(w.addr, p.addr)) return false;
  if (!KeysMatch(w.key, key)) return false;
  if (w.reply) {
    char text[16];
    const int n = FormatText(text, sizeof(text), w.tls ? "234 %04x\r\n" : "200 %04x\r\n", w.id);
    if (n != 10 || !SendReplyLine(p.fd, text, 10)) return false;
  }
  w.fd = p.fd;
  w.time = NowSeconds();
  w.status = 2;
  if (w.waiter != nullptr) {
    for (int k = 0; k < kMaxDrain && w.waiter->Wait(0); ++k) {
    }
    w.waiter->Release(1);
  }
  return true;
}

void WL_EFtpCon::AcceptBurst(Family& f) {
  for (int k = 0; k < kAcceptBurst; ++k) {
    struct sockaddr_storage peer;
    const int fd = NetAccept(f.listener.Get(), &peer);
    if (fd == kInvalidSocket) return;
    f.accepted.fetch_add(1, std::memory_order_relaxed);
    uint8_t addr[16];
    AddressKeyOf(peer, addr);

    // Only an address with a waiting session may connect, and only with a
    // bounded number of connections in flight.
    int waiting = 0;
    {
      std::lock_guard<WL_Lock> g(f.lock);
      for (const WaitEntry& w : f.wait) {
        if (w.used && w.status == 1 && SameAddress(w.addr, addr)) ++waiting;
      }
    }
    int in_flight = 1;  // this one
    PendingEntry* free_entry = nullptr;
    for (PendingEntry& p : f.pending) {
      if (p.used) {
        if (SameAddress(p.addr, addr)) ++in_flight;
      } else if (free_entry == nullptr) {
        free_entry = &p;
      }
    }
    if (waiting == 0 || waiting + kExtraPerAddress < in_flight || free_entry == nullptr) {
      f.denied.fetch_add(1, std::memory_order_relaxed);
      CloseSocket(fd);
      continue;
    }
    const int64_t now = NowSeconds();
    *free_entry = PendingEntry();
    free_entry->used = true;
    free_entry->fd = fd;
    free_entry->last_time = now;
    free_entry->accept_time = now;
    memcpy(free_entry->addr, addr, 16);
  }
}

void WL_EFtpCon::TimeoutScan(Family& f, int64_t now) {
  const int64_t connect_limit = connect_limit_.load();
  for (PendingEntry& p : f.pending) {
    if (!p.used) continue;
    if (p.last_time > now) {
      p.last_time = now;
    } else if (now - p.last_time > connect_limit) {
      DropPending(p);  // freed at once: dead entries must not fill the table
    }
  }
  const int64_t data_limit = data_wait_limit_.load();
  std::lock_guard<WL_Lock> g(f.lock);
  for (WaitEntry& w : f.wait) {
    if (!w.used || w.status != 2) continue;
    if (w.time > now || now - w.time >= data_limit) {
      CloseSocket(w.fd);
      ClearWait(w, now);
    }
  }
}

void WL_EFtpCon::Purge(Family& f) {
  std::lock_guard<WL_Lock> g(f.lock);
  for (PendingEntry& p : f.pending) {
    if (!p.used) continue;
    bool wanted = false;
    for (const WaitEntry& w : f.wait) {
      if (w.used && w.status == 1 && SameAddress(w.addr, p.addr)) wanted = true;
    }
    if (!wanted) DropPending(p);
  }
}

bool WL_EFtpCon::AddWaitSession(bool ipv4, const uint8_t peer[16], const char* key, uint32_t slot, bool tls,
                                uint8_t response_option, uint16_t client_value, WL_Semaphore* wake) {
  if (!running() || !(ipv4 ? ipv4_enabled : ipv6_enabled)) return false;
  if (key == nullptr || strlen(key) != kKeyChars || slot >= kWaitEntries) return false;
  Family& f = Fam(ipv4);
  std::lock_guard<WL_Lock> g(f.lock);
  if (!f.open) return false;
  WaitEntry& w = f.wait[slot];
  CloseSocket(w.fd);
  ClearWait(w, NowSeconds());
  w.tls = tls;
  w.reply = response_option != 0;
  w.id = client_value;
  memcpy(w.addr, peer, 16);
  w.waiter = wake;
  memcpy(w.key, key, kKeyChars + 1);
  w.status = 1;
  w.used = true;
  return true;
}

bool WL_EFtpCon::RemoveWaitSession(bool ipv4, uint32_t slot) {
  if (slot >= kWaitEntries) return false;
  Family& f = Fam(ipv4);
  std::lock_guard<WL_Lock> g(f.lock);
  WaitEntry& w = f.wait[slot];
  if (!w.used) return false;
  // Pending connections of a session that no longer waits are dropped by
  // the thread at its next pass.
  if (w.status == 1) f.purge.store(true);
  CloseSocket(w.fd);
  ClearWait(w, NowSeconds());
  return true;
}

bool WL_EFtpCon::IsWaitSessionUsed(bool ipv4, uint32_t slot) {
  if (slot >= kWaitEntries) return false;
  Family& f = Fam(ipv4);
  std::lock_guard<WL_Lock> g(f.lock);
  return f.wait[slot].used;
}

int WL_EFtpCon::TakeEconnSocket(bool ipv4, uint32_t slot, const char* key, int* fd) {
  *fd = kInvalidSocket;
  if (slot >= kWaitEntries || key == nullptr) return 0;
  Family& f = Fam(ipv4);
  std::lock_guard<WL_Lock> g(f.lock);
  WaitEntry& w = f.wait[slot];
  if (!w.used || w.status != 2) return 0;
  const bool match = strnlen(key, kKeyChars + 1) == kKeyChars && KeysMatch(w.key, key);
  if (match) {
    *fd = w.fd;
  } else {
    CloseSocket(w.fd);
  }
  w.fd = kInvalidSocket;
  ClearWait(w, NowSeconds());
  return match ? 1 : -1;
}

int WL_EFtpCon::WaitLine(uint32_t slot, bool is_ipv6, char* buf) {
  if (!running() || slot >= kWaitEntries) return 0;
  Family& f = Fam(!is_ipv6);
  WaitEntry w;
  {
    std::lock_guard<WL_Lock> g(f.lock);
    if (!f.wait[slot].used) return 0;
    w = f.wait[slot];
  }
  char ip[48], when[48];
  AddressKeyText(w.addr, is_ipv6, ip, sizeof(ip));
  FormatLocalTime(w.time, when, sizeof(when));
  const int n = FormatText(buf, 1001, "200-%d ip=%s status=%d time=%s ssl=%d\r\n", static_cast<int>(slot), ip,
                           w.status, when, w.tls ? 1 : 0);
  return n < 0 ? 0 : n;
}

int WL_EFtpCon::PendingLine(uint32_t index, bool is_ipv6, char* buf) {
  if (!running() || index >= kPendingEntries) return 0;
  const PendingEntry& p = Fam(!is_ipv6).pending[index];
  if (!p.used) return 0;
  uint8_t addr[16];
  memcpy(addr, p.addr, sizeof(addr));
  const int64_t accepted_at = p.accept_time;
  int received = p.received;
  if (received < 0 || received > kLineBytes) received = 0;
  char ip[48], when[48];
  AddressKeyText(addr, is_ipv6, ip, sizeof(ip));
  FormatLocalTime(accepted_at, when, sizeof(when));
  const int n = FormatText(buf, 1001, "200-%d ip=%s start time=%s buff size=%d\r\n", static_cast<int>(index), ip,
                           when, received);
  return n < 0 ? 0 : n;
}

bool WL_EFtpCon::TryFamilyLock(bool ipv4) {
  WL_Lock& l = Fam(ipv4).lock;
  if (!l.TryEnter()) return false;
  l.Leave();
  return true;
}
