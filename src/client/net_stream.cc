#include "client/net_stream.h"

#include <sys/socket.h>

#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "ftp/tls.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

// Waits for the socket in the direction TLS or the kernel asked for. False
// on error or when the deadline (in milliseconds of the tick clock) passed.
bool WaitFor(int fd, bool write, uint64_t deadline) {
  for (;;) {
    const uint64_t now = GetTickCount64();
    if (now >= deadline) return false;
    const uint64_t left = deadline - now;
    const int step = left > 1000 ? 1000 : static_cast<int>(left);
    bool ready = false;
    if (!(write ? WaitWritable(fd, &ready, step) : WaitReadable(fd, &ready, step))) {
      // An error or hang-up: let the next read or write report it.
      return true;
    }
    if (ready) return true;
  }
}

uint64_t DeadlineIn(int seconds) { return GetTickCount64() + static_cast<uint64_t>(seconds) * 1000; }

}  // namespace

bool ResolveServer(const std::string& host, WL_ServerAddress* out, std::string* error) {
  uint32_t v4 = 0;
  uint8_t v6[16] = {};
  const int r = ResolveHost(host.c_str(), &v4, v6, 0);
  if (r <= 0) {
    *error = "cannot resolve host " + host;
    return false;
  }
  if (r == 4 || r == 10) {
    out->family = AF_INET;
    out->v4 = v4;
  } else {
    out->family = AF_INET6;
    memcpy(out->v6, v6, 16);
  }
  return true;
}

WL_NetStream::~WL_NetStream() { Close(); }

bool WL_NetStream::Connect(const WL_ServerAddress& addr, uint16_t port, int timeout_s, std::string* error) {
  Close();
  const int fd = NetClientSocket(addr.family);
  if (fd == kInvalidSocket) {
    *error = "cannot create a socket";
    return false;
  }
  const bool started = addr.family == AF_INET ? ConnectIpv4(fd, addr.v4, port) : ConnectIpv6(fd, addr.v6, port);
  bool ok = started && WaitFor(fd, true, DeadlineIn(timeout_s));
  if (ok) {
    bool ready = false;
    ok = WaitWritable(fd, &ready, 0) && ready && NetSocketError(fd) == 0;
  }
  if (!ok) {
    NetClose(fd);
    *error = "cannot connect to port " + std::to_string(port);
    return false;
  }
  fd_ = fd;
  return true;
}

bool WL_NetStream::StartTls(ssl_ctx_st* ctx, const std::string& host, ssl_session_st* resume, int timeout_s,
                            std::string* error) {
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr || SSL_set_fd(ssl, fd_) != 1) {
    if (ssl != nullptr) SSL_free(ssl);
    *error = "TLS setup failed";
    return false;
  }
  // The identity to verify: a host name, or an address literal.
  if (IsAddressLiteral(host.c_str())) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, host.c_str());
    SSL_set1_host(ssl, host.c_str());
  }
  if (resume != nullptr) SSL_set_session(ssl, resume);
  SSL_set_connect_state(ssl);
  const uint64_t deadline = DeadlineIn(timeout_s);
  for (;;) {
    const int rc = SSL_connect(ssl);
    if (rc == 1) break;
    const int e = SSL_get_error(ssl, rc);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && WaitFor(fd_, e == SSL_ERROR_WANT_WRITE, deadline)) {
      continue;
    }
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
      *error = std::string("TLS certificate not accepted: ") + X509_verify_cert_error_string(verify);
    } else {
      *error = "TLS handshake failed";
    }
    ERR_clear_error();
    SSL_free(ssl);
    return false;
  }
  ssl_ = ssl;
  return true;
}

bool WL_NetStream::SendAll(const void* data, size_t n, int timeout_s) {
  const char* p = static_cast<const char*>(data);
  const uint64_t deadline = DeadlineIn(timeout_s);
  while (n > 0) {
    bool write = true;
    if (ssl_ != nullptr) {
      size_t done = 0;
      const TlsIo io = TlsWrite(ssl_, p, n, &done);
      if (io == TlsIo::kOk) {
        p += done;
        n -= done;
        continue;
      }
      if (io != TlsIo::kWantRead && io != TlsIo::kWantWrite) return false;
      write = io == TlsIo::kWantWrite;
    } else {
      const IoResult r = NetSend(fd_, p, n);
      if (r.status == IoStatus::kOk) {
        p += r.count;
        n -= r.count;
        continue;
      }
      if (r.status != IoStatus::kWouldBlock) return false;
    }
    if (!WaitFor(fd_, write, deadline)) return false;
  }
  return true;
}

long WL_NetStream::RecvSome(void* data, size_t n, int timeout_s) {
  const uint64_t deadline = DeadlineIn(timeout_s);
  for (;;) {
    bool write = false;
    if (ssl_ != nullptr) {
      size_t done = 0;
      const TlsIo io = TlsRead(ssl_, data, n, &done);
      if (io == TlsIo::kOk) return static_cast<long>(done);
      if (io == TlsIo::kClosed) return 0;
      if (io != TlsIo::kWantRead && io != TlsIo::kWantWrite) return -1;
      write = io == TlsIo::kWantWrite;
    } else {
      const IoResult r = NetRecv(fd_, data, n);
      if (r.status == IoStatus::kOk) return static_cast<long>(r.count);
      if (r.status == IoStatus::kClosed) return 0;
      if (r.status != IoStatus::kWouldBlock) return -1;
    }
    if (!WaitFor(fd_, write, deadline)) return -1;
  }
}

void WL_NetStream::Close() {
  if (ssl_ != nullptr) TlsShutdownFree(&ssl_);
  if (fd_ >= 0) {
    NetShutdown(fd_);
    NetClose(fd_);
    fd_ = -1;
  }
}
