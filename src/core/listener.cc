// The FTP main listen thread: accepts control connections and hands each to
// a pool worker as an FTP session task.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstring>

#include "base/net_text.h"
#include "core/server.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

constexpr int kListenWaitMs = 580 * 1000;
constexpr int kAcceptBurst = 32;
constexpr size_t kThreadStack = 4194304;

}  // namespace

void* FtpMainListenThread(void* arg) {
  static_cast<WL_ZelFtpSvr*>(arg)->ListenLoop();
  return nullptr;
}

bool WL_ZelFtpSvr::StartListenThread() {
  listener_ctl.running.store(false);
  listener_ctl.started.store(false);
  listener_ctl.thread_id.store(-1);
  if (!StartThread(FtpMainListenThread, this, kThreadStack)) return false;
  SpinBackoff wait;
  while (!listener_ctl.started.load(std::memory_order_acquire) && !listener_ctl.running.load(std::memory_order_acquire)) {
    wait.Pause();
  }
  return true;
}

void WL_ZelFtpSvr::ListenLoop() {
  const uint32_t tid = CurrentThreadId();
  listener_ctl.thread_id.store(tid);
  listener_ctl.running.store(true, std::memory_order_release);
  listener_ctl.started.store(true, std::memory_order_release);

  if (!LoadAccountFiles() && set.Log_level > 0) {
    ListenerLog("Warning: Failed to load resouce or account file\r\n");
  }
  // The report of what the server made of its configuration.
  WriteStatusReport();  // does nothing unless Make_reportfile is on

  uint32_t serial = tid;
  while (!listener_ctl.stop_requested.load()) {
    serial += 11;
    if (serial == 0) serial = GetTickCount() % 100 + 3;

    int fds[4];
    int which[4];
    int n = 0;
    const WL_ListenerIndex order[4] = {kListenV4, kListenV6, kListenV4Implicit, kListenV6Implicit};
    for (int k = 0; k < 4; ++k) {
      if (k >= 2 && !set.Implicit_mode) break;
      int fd = listener_ctl.sockets[order[k]].Get();
      if (fd == kInvalidSocket) continue;
      fds[n] = fd;
      which[n] = order[k];
      ++n;
    }
    if (n == 0) {
      SleepMs(1);
      continue;
    }
    bool ready[4];
    int rc = WaitReadableSet(fds, ready, n, kListenWaitMs);
    if (listener_ctl.stop_requested.load()) break;
    if (rc <= 0) continue;
    for (int k = 0; k < n && !listener_ctl.stop_requested.load(); ++k) {
      if (!ready[k]) continue;
      for (int burst = 0; burst < kAcceptBurst && !listener_ctl.stop_requested.load(); ++burst) {
        struct sockaddr_storage peer;
        int fd = NetAccept(fds[k], &peer);
        if (fd == kInvalidSocket) break;
        AcceptConnection(fd, which[k], peer, serial);
      }
    }
  }
  listener_log.FlushToLog();
  for (WL_OwnedSocket& s : listener_ctl.sockets) s.Close();
  listener_ctl.running.store(false, std::memory_order_release);
}

void WL_ZelFtpSvr::AcceptConnection(int fd, int which, const struct sockaddr_storage& peer, uint32_t& serial) {
  const bool v6 = peer.ss_family == AF_INET6;
  const uint8_t family = v6 ? kFamilyV6 : kFamilyV4;
  char peer_text[48] = "";
  PeerAddressText(peer, peer_text, sizeof(peer_text));
  if (set.Log_level > 3) ListenerLog("<Ftp main> new connect from :%s\r\n", peer_text);
  RecordConnection(peer);

  // The address as the slots keep it; an IPv6 peer is bounded by its /64.
  uint8_t key[16];
  AddressKeyOf(peer, key);
  const size_t key_len = v6 ? 8 : 4;
  WL_FtpSession* array = v6 ? sessions_v6.get() : sessions_v4.get();
  WL_FtpSession* slot = nullptr;
  int waiting = 0;  // slots this address holds without a login
  for (int i = 0; array != nullptr && i < session_count_; ++i) {
    if (!array[i].in_use.load(std::memory_order_acquire)) {
      if (slot == nullptr) slot = &array[i];
      continue;
    }
    if (!array[i].login_done.load(std::memory_order_acquire) && memcmp(array[i].peer_addr, key, key_len) == 0) {
      ++waiting;
    }
  }
  total_connects.fetch_add(1, std::memory_order_relaxed);
  // One address cannot hold every slot before logging in: past its bound
  // it is refused like a full table.
  if (set.Max_ipconnects > 0 && waiting >= set.Max_ipconnects) slot = nullptr;
  if (slot == nullptr) {
    (v6 ? full_rejects_v6 : full_rejects_v4).fetch_add(1, std::memory_order_relaxed);
    NetShutdown(fd);
    NetClose(fd);
    if (set.Log_level > 3) ListenerLog("<Ftp main> connect full , deny :%s\r\n", peer_text);
    return;
  }

  slot->ResetForConnection(serial);
  ++serial;
  slot->ctrl_socket.Set(fd);
  slot->in_use.store(true, std::memory_order_release);
  slot->implicit_tls = (set.Implicit_mode && (which == kListenV4Implicit || which == kListenV6Implicit)) ? 1 : 0;
  memcpy(&slot->peer_sockaddr, &peer, sizeof(peer));
  memcpy(slot->peer_addr, key, 16);
  if (v6) {
    slot->peer_local = ClassifyIpv6(slot->peer_addr) <= 0 ? 1 : 0;
  } else {
    uint32_t host;
    memcpy(&host, key, 4);
    slot->peer_local = IsLocalIpv4(host) ? 1 : 0;
  }
  if (pool.AssignTask(slot->slot_index, WL_ZelfoThreadPool::kTaskFtp, family, this)) {
    if (set.Log_level > 4) {
      ListenerLog("<Ftp main> success got thread for %d %s session\r\n", slot->slot_index, v6 ? "IPV6" : "IPV4");
    }
    return;
  }
  no_worker_rejects.fetch_add(1, std::memory_order_relaxed);
  slot->ReleaseSlot();
  if (set.Log_level > 3) ListenerLog("<Ftp main> failed to find work thread , deny :%s\r\n", peer_text);
}

void WL_ZelFtpSvr::RecordConnection(const struct sockaddr_storage& peer) {
  if (peer.ss_family == AF_INET6) {
    records[kRecConnV6].AddIpv6(reinterpret_cast<const struct sockaddr_in6*>(&peer)->sin6_addr.s6_addr);
  } else {
    records[kRecConnV4].AddIpv4(ntohl(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr.s_addr));
  }
}

void WL_ZelFtpSvr::ListenerLog(const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = FormatTextV(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n > 0) listener_log.AddLine(line, n, false);
}
