#include "ftp/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>

#include "core/server.h"
#include "ftp/session.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

// Room for the sessions of both arrays several times over; clients resume
// the control connection's session on each data connection.
constexpr long kSessionCacheSize = 1024;
const unsigned char kSessionContext[] = "zelfosvr";

SSL_CTX* MakeContext(const WL_Settings& set) {
  if (set.TLS_certificatefile.empty() || set.Tls_privatekeyfile.empty()) return nullptr;
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx, kSessionCacheSize);
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof(kSessionContext) - 1);
  bool ok = SSL_CTX_use_certificate_chain_file(ctx, set.TLS_certificatefile.c_str()) == 1;
  if (ok && !set.Tls_privatekeypass.empty()) {
    // OpenSSL's default pass phrase callback takes the text as its user data.
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char*>(set.Tls_privatekeypass.c_str()));
  }
  ok = ok && SSL_CTX_use_PrivateKey_file(ctx, set.Tls_privatekeyfile.c_str(), SSL_FILETYPE_PEM) == 1 &&
       SSL_CTX_check_private_key(ctx) == 1;
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (!ok) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return nullptr;
  }
  return ctx;
}

TlsIo Classify(SSL* ssl, int rc) {
  switch (SSL_get_error(ssl, rc)) {
    case SSL_ERROR_WANT_READ:
      return TlsIo::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return TlsIo::kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TlsIo::kClosed;
    default:
      ERR_clear_error();
      return TlsIo::kError;
  }
}

SSL* NewSsl(WL_ZelFtpSvr* svr, const WL_FtpSession& s, int fd) {
  SSL_CTX* ctx = s.is_ipv4 ? svr->tls_ctx_v4 : svr->tls_ctx_v6;
  if (ctx == nullptr) return nullptr;
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) return nullptr;
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return ssl;
}

}  // namespace

IoResult TlsToIo(TlsIo io, size_t n, uint16_t* want) {
  *want = 0;
  switch (io) {
    case TlsIo::kOk:
      return {IoStatus::kOk, n};
    case TlsIo::kWantRead:
      *want = 1;
      return {IoStatus::kWouldBlock, 0};
    case TlsIo::kWantWrite:
      *want = 2;
      return {IoStatus::kWouldBlock, 0};
    case TlsIo::kClosed:
      return {IoStatus::kClosed, 0};
    default:
      return {IoStatus::kError, 0};
  }
}

TlsIo TlsRead(ssl_st* ssl, void* buf, size_t len, size_t* n) {
  *n = 0;
  const int rc = SSL_read(ssl, buf, len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len));
  if (rc > 0) {
    *n = static_cast<size_t>(rc);
    return TlsIo::kOk;
  }
  return Classify(ssl, rc);
}

TlsIo TlsWrite(ssl_st* ssl, const void* buf, size_t len, size_t* n) {
  *n = 0;
  const int rc = SSL_write(ssl, buf, len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len));
  if (rc > 0) {
    *n = static_cast<size_t>(rc);
    return TlsIo::kOk;
  }
  return Classify(ssl, rc);
}

void TlsShutdownFree(ssl_st** ssl) {
  if (*ssl == nullptr) return;
  for (int i = 0; i < 5 && SSL_shutdown(*ssl) == 0; ++i) YieldThread();
  ERR_clear_error();
  SSL_free(*ssl);
  *ssl = nullptr;
}

bool LoadTlsContexts(WL_ZelFtpSvr* svr) {
  const WL_Settings& set = svr->set;
  const bool need4 = set.Service_ipv4tls || set.Enable_httpsv4 || (set.Implicit_mode && set.Service_implicitv4 != 0);
  const bool need6 = set.Service_ipv6tls || set.Service_sslv6port != 0 || (set.Implicit_mode && set.Service_implicitv6 != 0);
  if (need4 && (svr->tls_ctx_v4 = MakeContext(set)) == nullptr) return false;
  if (need6 && (svr->tls_ctx_v6 = MakeContext(set)) == nullptr) return false;
  return true;
}

void FreeTlsContexts(WL_ZelFtpSvr* svr) {
  SSL_CTX_free(svr->tls_ctx_v4);
  SSL_CTX_free(svr->tls_ctx_v6);
  svr->tls_ctx_v4 = svr->tls_ctx_v6 = nullptr;
}

bool ControlHandshake(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  auto fail = [&s](uint16_t code) {
    s.send_code = code;
    return false;
  };
  if (!s.ctrl_tls) return fail(7011);
  const int fd = s.ctrl_socket.Get();
  SSL_CTX* ctx = s.is_ipv4 ? svr->tls_ctx_v4 : svr->tls_ctx_v6;
  SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
  if (ssl == nullptr) return fail(7012);
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return fail(7013);
  }
  SSL_set_accept_state(ssl);
  s.ctrl_ssl = ssl;
  const int64_t start = NowSeconds();
  int quiet = 0;
  for (;;) {
    if (s.close_flag.load()) return fail(7021);
    const int rc = SSL_do_handshake(ssl);
    if (rc == 1) return true;
    const int64_t now = NowSeconds();
    if (now < start || now - start > svr->tls_handshake_seconds) return fail(7017);
    const int err = SSL_get_error(ssl, rc);
    bool ready = false;
    if (err == SSL_ERROR_NONE) {
      if (++quiet > 20) return fail(7018);
      YieldThread();
    } else if (err == SSL_ERROR_WANT_WRITE) {
      if (!WaitWritable(fd, &ready, 2000)) return fail(7020);
    } else if (err == SSL_ERROR_WANT_READ) {
      if (!WaitReadable(fd, &ready, 2000)) return fail(7020);
    } else {
      ERR_clear_error();
      return fail(7019);
    }
  }
}

bool DataHandshake(WL_ZelFtpSvr* svr, WL_FtpSession& s) {
  if (!s.data_private) return true;
  SSL* ssl = NewSsl(svr, s, s.data_socket.Get());
  if (ssl == nullptr) return false;
  // No session tickets on data connections: clients resume the control
  // connection's session, and a ticket the client never reads turns its
  // close into a reset that would drop the end of an upload.
  SSL_set_num_tickets(ssl, 0);
  s.data_ssl = ssl;
  auto fail = [&s](uint16_t code) {
    s.send_code = code;
    return false;
  };
  const int64_t start = NowSeconds();
  int quiet = 0;
  for (;;) {
    if (s.close_flag.load()) return fail(9020);
    const int rc = SSL_do_handshake(ssl);
    if (rc == 1) return true;
    const int64_t now = NowSeconds();
    if (now < start || now - start > svr->tls_handshake_seconds) return fail(9019);
    const int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_NONE) {
      if (++quiet > 20) return fail(9010);
      YieldThread();
      continue;
    }
    if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) {
      ERR_clear_error();
      return fail(9016);
    }
    const bool want_write = err == SSL_ERROR_WANT_WRITE;
    PairReady r;
    const int w = WaitControlAndData(s.ctrl_socket.Get(), s.data_socket.Get(), want_write, 2000, &r);
    if (s.close_flag.load()) return fail(9020);
    if (w < 0) return fail(want_write ? 9017 : 9015);
    if (w == 0) return fail(9018);  // one silent period ends the handshake
    const uint16_t base = want_write ? 9011 : 9012;
    if (r.ctrl_readable) return fail(base);
    if (r.ctrl_error) return fail(static_cast<uint16_t>(base + 300));
    if (r.data_error) return fail(static_cast<uint16_t>(base + 400));
  }
}
