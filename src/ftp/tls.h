// TLS on the control and data connections (OpenSSL).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

struct ssl_st;

class WL_ZelFtpSvr;
class WL_FtpSession;

enum class TlsIo {
  kOk,         // *n bytes moved
  kWantRead,   // retry once the socket is readable
  kWantWrite,  // retry once the socket is writable
  kClosed,     // the peer's close_notify: a clean end
  kError,      // any other failure, a bare TCP close among them
};

// The socket outcome of a TLS outcome; *want becomes 1 when TLS waits to
// read, 2 when it waits to write, 0 otherwise.
IoResult TlsToIo(TlsIo io, size_t n, uint16_t* want);

TlsIo TlsRead(ssl_st* ssl, void* buf, size_t len, size_t* n);
TlsIo TlsWrite(ssl_st* ssl, const void* buf, size_t len, size_t* n);
// Sends close_notify (up to 5 attempts, yielding between them) and frees
// the object; *ssl becomes nullptr.
void TlsShutdownFree(ssl_st** ssl);

// Creates the server contexts the settings need (IPv4, IPv6). False when a
// needed one cannot be made (missing files, wrong pass phrase, key and
// certificate that do not match).
bool LoadTlsContexts(WL_ZelFtpSvr* svr);
void FreeTlsContexts(WL_ZelFtpSvr* svr);
// The handshake on the control connection (AUTH, implicit sessions).
bool ControlHandshake(WL_ZelFtpSvr* svr, WL_FtpSession& s);
// The handshake on a freshly opened data connection when data_private is set.
bool DataHandshake(WL_ZelFtpSvr* svr, WL_FtpSession& s);
