// One client TCP connection, plain or TLS, with bounded waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

// A resolved server address: the family and its address bytes.
struct WL_ServerAddress {
  int family = 0;  // AF_INET or AF_INET6
  uint32_t v4 = 0;  // host order
  uint8_t v6[16] = {};
};

// Resolves host (a name or an address literal) to its first IPv4 address,
// or its IPv6 address when it has no IPv4 one. False with *error set.
bool ResolveServer(const std::string& host, WL_ServerAddress* out, std::string* error);

class WL_NetStream {
 public:
  WL_NetStream() = default;
  ~WL_NetStream();
  WL_NetStream(const WL_NetStream&) = delete;
  WL_NetStream& operator=(const WL_NetStream&) = delete;

  // Connects to the address at port within timeout_s seconds.
  bool Connect(const WL_ServerAddress& addr, uint16_t port, int timeout_s, std::string* error);
  // The TLS client handshake on the connected socket. host names the
  // certificate's expected identity; resume, when given, is offered for
  // session resumption.
  bool StartTls(ssl_ctx_st* ctx, const std::string& host, ssl_session_st* resume, int timeout_s,
                std::string* error);
  ssl_st* Ssl() const { return ssl_; }

  // Sends all n bytes; false on error, a closed peer or time-out.
  bool SendAll(const void* data, size_t n, int timeout_s);
  // Receives up to n bytes: the count, 0 at a clean end of the stream, -1
  // on error or time-out.
  long RecvSome(void* data, size_t n, int timeout_s);
  // Ends the stream in order: TLS close_notify, then the TCP close.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  ssl_st* ssl_ = nullptr;
};
