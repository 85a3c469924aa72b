#include "platform/socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

void SetFlag(int fd, int level, int name) {
  int one = 1;
  setsockopt(fd, level, name, &one, sizeof(one));
}

void TuneConnection(int fd) {
  SetFlag(fd, SOL_SOCKET, SO_OOBINLINE);
  SetFlag(fd, IPPROTO_TCP, TCP_NODELAY);
}

bool IsWouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

bool WaitOne(int fd, short events, bool* ready, int timeout_ms) {
  *ready = false;
  struct pollfd p = {fd, events, 0};
  int rc;
  do {
    rc = poll(&p, 1, timeout_ms > 0 ? timeout_ms : 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return false;
  if (rc == 0) return true;
  if (p.revents & events) {
    *ready = true;
    return true;
  }
  // Error or hang-up with nothing to read or write.
  return false;
}

// Socket addresses for an IPv4 address in host order, or 16 IPv6 bytes, and
// a port; everything else zeroed.
struct sockaddr_in Ipv4Address(uint32_t host_order, uint16_t port) {
  struct sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host_order);
  a.sin_port = htons(port);
  return a;
}

struct sockaddr_in6 Ipv6Address(const uint8_t addr[16], uint16_t port) {
  struct sockaddr_in6 a;
  memset(&a, 0, sizeof(a));
  a.sin6_family = AF_INET6;
  memcpy(a.sin6_addr.s6_addr, addr, 16);
  a.sin6_port = htons(port);
  return a;
}

// Binds fd to the wildcard address of the family and port. IPv6 sockets are
// made IPv6-only first, so an IPv4 socket can share the port.
bool BindWildcard(int fd, int family, uint16_t port) {
  if (family == AF_INET6) {
    SetFlag(fd, IPPROTO_IPV6, IPV6_V6ONLY);
    const struct sockaddr_in6 a = Ipv6Address(in6addr_any.s6_addr, port);
    return bind(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a)) == 0;
  }
  const struct sockaddr_in a = Ipv4Address(INADDR_ANY, port);
  return bind(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a)) == 0;
}

// A listening socket; *stage (when given) tells which step failed: 1 socket,
// 2 bind, 3 listen (0 on success).
int ListenOn(int family, uint16_t port, int backlog, bool reuse, int* stage = nullptr) {
  int failed = 0;
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    failed = 1;
  } else {
    if (reuse) SetFlag(fd, SOL_SOCKET, SO_REUSEADDR);
    TuneConnection(fd);
    if (!BindWildcard(fd, family, port)) {
      failed = 2;
    } else if (listen(fd, backlog) != 0) {
      failed = 3;
    }
    if (failed != 0) close(fd);
  }
  if (stage != nullptr) *stage = failed;
  return failed == 0 ? fd : kInvalidSocket;
}

// The outcome of one sendfile call.
FileSendResult SendfileResult(ssize_t rc) {
  if (rc > 0) return {FileSendStatus::kSent, static_cast<size_t>(rc)};
  if (rc == 0) return {FileSendStatus::kEndOfFile, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {FileSendStatus::kWouldBlock, 0};
  if (errno == EIO || errno == EINVAL || errno == ENOMEM || errno == EOVERFLOW) return {FileSendStatus::kFileError, 0};
  return {FileSendStatus::kSocketError, 0};
}

}  // namespace

int NetListen(int family, uint16_t port, int backlog) { return ListenOn(family, port, backlog, true); }

int NetAccept(int listener, struct sockaddr_storage* peer) {
  socklen_t len = sizeof(*peer);
  int fd;
  do {
    fd = accept4(listener, reinterpret_cast<struct sockaddr*>(peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidSocket;
  TuneConnection(fd);
  return fd;
}

bool SetNonBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL, 0);
  if (fl < 0) return false;
  return fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

uint16_t NetLocalPort(int fd) {
  struct sockaddr_storage a;
  socklen_t len = sizeof(a);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<struct sockaddr_in*>(&a)->sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<struct sockaddr_in6*>(&a)->sin6_port);
  return 0;
}

IoResult NetSend(int fd, const void* data, size_t n) {
  ssize_t rc;
  do {
    rc = send(fd, data, n, MSG_NOSIGNAL);
  } while (rc < 0 && errno == EINTR);
  if (rc > 0) return {IoStatus::kOk, static_cast<size_t>(rc)};
  if (rc < 0 && IsWouldBlock(errno)) return {IoStatus::kWouldBlock, 0};
  return {IoStatus::kError, 0};
}

IoResult NetRecv(int fd, void* data, size_t n) {
  ssize_t rc;
  do {
    rc = recv(fd, data, n, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc > 0) return {IoStatus::kOk, static_cast<size_t>(rc)};
  if (rc == 0) return {IoStatus::kClosed, 0};
  if (IsWouldBlock(errno)) return {IoStatus::kWouldBlock, 0};
  return {IoStatus::kError, 0};
}

bool WaitReadable(int fd, bool* ready, int timeout_ms) {
  bool ok = WaitOne(fd, POLLIN, ready, timeout_ms);
  return ok;
}

bool WaitWritable(int fd, bool* ready, int timeout_ms) { return WaitOne(fd, POLLOUT, ready, timeout_ms); }

void NetShutdown(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void NetClose(int fd) {
  if (fd >= 0) close(fd);
}

void WL_OwnedSocket::Set(int fd) {
  std::lock_guard<std::mutex> g(mu_);
  fd_.store(fd, std::memory_order_release);
}

void WL_OwnedSocket::Close(bool skip_shutdown) {
  std::lock_guard<std::mutex> g(mu_);
  int fd = fd_.load(std::memory_order_relaxed);
  if (fd == kInvalidSocket) return;
  if (!skip_shutdown) NetShutdown(fd);
  NetClose(fd);
  fd_.store(kInvalidSocket, std::memory_order_release);
}

void WL_OwnedSocket::ShutdownByOther() {
  std::lock_guard<std::mutex> g(mu_);
  NetShutdown(fd_.load(std::memory_order_relaxed));
}

int ResolveHost(const char* name, uint32_t* v4, uint8_t v6[16], uint32_t port) {
  if (name == nullptr || *name == '\0') return -1;
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  char service[16];
  const uint32_t p = port & 0xFFFFu;
  if (p != 0) snprintf(service, sizeof(service), "%u", p);
  struct addrinfo* res = nullptr;
  if (getaddrinfo(name, p != 0 ? service : nullptr, &hints, &res) != 0) return -2;
  bool got4 = false;
  bool got6 = false;
  for (struct addrinfo* a = res; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && !got4) {
      *v4 = ntohl(reinterpret_cast<struct sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      got4 = true;
    } else if (a->ai_family == AF_INET6 && !got6) {
      memcpy(v6, reinterpret_cast<struct sockaddr_in6*>(a->ai_addr)->sin6_addr.s6_addr, 16);
      got6 = true;
    }
  }
  freeaddrinfo(res);
  if (got4 && got6) return 10;
  if (got4) return 4;
  if (got6) return 6;
  return 0;
}

namespace {
bool StartConnect(int fd, const struct sockaddr* a, socklen_t len) {
  int rc;
  do {
    rc = connect(fd, a, len);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EINPROGRESS || errno == EAGAIN;
}
}  // namespace

bool ConnectIpv4(int fd, uint32_t host_order, uint16_t port) {
  if (host_order == 0xFFFFFFFFu) return false;
  const struct sockaddr_in a = Ipv4Address(host_order, port);
  return StartConnect(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a));
}

bool ConnectIpv6(int fd, const uint8_t addr[16], uint16_t port) {
  const struct sockaddr_in6 a = Ipv6Address(addr, port);
  return StartConnect(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a));
}

int ConnectHost6(int fd, const char* name, uint16_t port) {
  uint32_t v4 = 0;
  uint8_t v6[16] = {};
  if (ResolveHost(name, &v4, v6, 0) <= 0) return -1;
  const struct sockaddr_in6 a = Ipv6Address(v6, port);
  return connect(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a));
}

bool ProbeSourceIpv6(const char* name, uint16_t port, uint8_t out[16]) {
  const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ConnectHost6(fd, name, port) == 0;
  if (ok) {
    struct sockaddr_in6 local = {};
    socklen_t len = sizeof(local);
    ok = getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &len) == 0 && local.sin6_family == AF_INET6;
    if (ok) memcpy(out, local.sin6_addr.s6_addr, 16);
  }
  close(fd);
  return ok;
}

int ListLocalIpv6(uint8_t out[][16], char* error, uint32_t* scopes) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    if (error != nullptr) snprintf(error, 128, "Error to call getaddrinfo function[%d].", errno);
    return 0;
  }
  static const uint8_t zero[16] = {};
  int n = 0;
  for (struct ifaddrs* i = list; i != nullptr && n < 16; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6) continue;
    const auto* a = reinterpret_cast<const struct sockaddr_in6*>(i->ifa_addr);
    if (memcmp(a->sin6_addr.s6_addr, zero, 16) == 0) continue;
    memcpy(out[n], a->sin6_addr.s6_addr, 16);
    if (scopes != nullptr) scopes[n] = a->sin6_scope_id;
    ++n;
  }
  freeifaddrs(list);
  return n;
}

int NetListenData(int family, uint16_t port, int backlog) { return ListenOn(family, port, backlog, false); }

int NetConnectTo(const struct sockaddr_storage& peer, uint16_t port, int* stage) {
  *stage = 0;
  int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *stage = 1;
    return kInvalidSocket;
  }
  SetNonBlocking(fd);
  TuneConnection(fd);
  struct sockaddr_storage to = peer;
  socklen_t len;
  if (to.ss_family == AF_INET6) {
    reinterpret_cast<struct sockaddr_in6*>(&to)->sin6_port = htons(port);
    len = sizeof(struct sockaddr_in6);
  } else {
    reinterpret_cast<struct sockaddr_in*>(&to)->sin_port = htons(port);
    len = sizeof(struct sockaddr_in);
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&to), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    *stage = 2;
    return kInvalidSocket;
  }
  return fd;
}

int NetSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool NetLocalIpv4(int fd, uint8_t out[4]) {
  struct sockaddr_storage a;
  socklen_t len = sizeof(a);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) != 0 || a.ss_family != AF_INET) return false;
  memcpy(out, &reinterpret_cast<struct sockaddr_in*>(&a)->sin_addr.s_addr, 4);
  return true;
}

bool SameHost(const struct sockaddr_storage& a, const struct sockaddr_storage& ref) {
  if (a.ss_family != ref.ss_family) return false;
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const struct sockaddr_in*>(&a)->sin_addr.s_addr ==
           reinterpret_cast<const struct sockaddr_in*>(&ref)->sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    return memcmp(reinterpret_cast<const struct sockaddr_in6*>(&a)->sin6_addr.s6_addr,
                  reinterpret_cast<const struct sockaddr_in6*>(&ref)->sin6_addr.s6_addr, 16) == 0;
  }
  return false;
}

int WaitControlAndData(int ctrl, int data, bool data_write, int timeout_ms, PairReady* out) {
  *out = PairReady();
  struct pollfd p[2] = {{ctrl, POLLIN, 0}, {data, static_cast<short>(data_write ? POLLOUT : POLLIN), 0}};
  int rc;
  do {
    rc = poll(p, 2, timeout_ms > 0 ? timeout_ms : 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  if (rc == 0) return 0;
  out->ctrl_readable = (p[0].revents & POLLIN) != 0;
  out->ctrl_error = !out->ctrl_readable && (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  out->data_ready = (p[1].revents & (data_write ? POLLOUT : POLLIN)) != 0;
  // A pending error (a reset) counts even when the socket also polls ready;
  // a hang-up counts only when nothing is left to read or write.
  out->data_error = (p[1].revents & (POLLERR | POLLNVAL)) != 0 ||
                    (!out->data_ready && (p[1].revents & POLLHUP) != 0);
  return 1;
}

FileSendResult NetSendFile(int socket_fd, int file_fd, size_t count) {
  ssize_t rc;
  do {
    rc = sendfile(socket_fd, file_fd, nullptr, count);
  } while (rc < 0 && errno == EINTR);
  return SendfileResult(rc);
}

int NetListenStaged(int family, uint16_t port, int backlog, int* stage) {
  return ListenOn(family, port, backlog, true, stage);
}

FileSendResult NetSendFileAt(int socket_fd, int file_fd, int64_t* offset, size_t count) {
  off_t pos = static_cast<off_t>(*offset);
  ssize_t rc;
  do {
    rc = sendfile(socket_fd, file_fd, &pos, count);
  } while (rc < 0 && errno == EINTR);
  if (rc > 0) *offset = static_cast<int64_t>(pos);
  return SendfileResult(rc);
}

int NetClientSocket(int family) {
  if (family != AF_INET && family != AF_INET6) return kInvalidSocket;
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kInvalidSocket;
  const int one = 1;
  if (!SetNonBlocking(fd) || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
    close(fd);
    return kInvalidSocket;
  }
  TuneConnection(fd);
  return fd;
}

bool IsAddressLiteral(const char* text) {
  if (text == nullptr) return false;
  unsigned char buf[16];
  return inet_pton(AF_INET, text, buf) == 1 || inet_pton(AF_INET6, text, buf) == 1;
}

int ListLocalIpv4(uint32_t* out, int max) {
  struct ifaddrs* list = nullptr;
  if (out == nullptr || max <= 0 || getifaddrs(&list) != 0) return 0;
  int n = 0;
  for (struct ifaddrs* i = list; i != nullptr && n < max; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t a = ntohl(reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (a != 0) out[n++] = a;
  }
  freeifaddrs(list);
  return n;
}

int WaitReadableSet(const int* fds, bool* ready, int n, int timeout_ms) {
  if (n <= 0 || n > kMaxReadableSet) return -1;
  struct pollfd p[kMaxReadableSet];
  for (int i = 0; i < n; ++i) {
    p[i] = {fds[i], POLLIN, 0};
    ready[i] = false;
  }
  int rc;
  do {
    rc = poll(p, static_cast<nfds_t>(n), timeout_ms > 0 ? timeout_ms : 0);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return rc;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
      ready[i] = true;
      ++count;
    }
  }
  return count;
}
