// One connection of the HTTP stream service, served from start to end on a
// pool worker: admission, the TLS handshake on an HTTPS port, one request
// head, the mapped file (or the test stream) and the end of the connection.
// There is no keep-alive: every reply says "Connection: close".
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "base/format.h"
#include "base/holders.h"
#include "base/logs.h"
#include "platform/socket.h"
#include "stream/http_request.h"

struct ssl_st;
class WL_WebSvr;

// Phases of a session (state).
enum : uint16_t {
  kHttpStarted = 1,
  kHttpAdmitted = 2,
  kHttpReady = 4,
  kHttpReadingHead = 5,
  kHttpParsing = 7,
  kHttpParsed = 8,
  kHttpStreaming = 10,
};

// Error codes besides those of ParseRequest.
enum : uint16_t {
  kHttpNoItem = 2001,
  kHttpTestStream = 2002,
  kHttpBadRange = 2003,
  kHttpNoFile = 4000,
  kHttpNoBuffer = 4001,
  kHttpStreamingNow = 5000,
  kHttpWorkerStop = 5004,
  kHttpShortRead = 5005,
  kHttpBlockSendFailed = 5008,
  kHttpSessionStop = 5010,
};

class WL_HttpSession {
 public:
  static constexpr size_t kHeadBuffer = 2200;
  static constexpr size_t kSendBuffer = 532480;
  static constexpr size_t kFileBlock = 524288;

  WL_HttpSession() = default;
  virtual ~WL_HttpSession();
  WL_HttpSession(const WL_HttpSession&) = delete;
  WL_HttpSession& operator=(const WL_HttpSession&) = delete;

  // Clears what one request leaves behind (the claim of a new connection).
  void ResetForConnection();
  // The owner's end: gives the send buffer back, closes TLS, the file and
  // the socket (each only once: a closed socket is -1, a freed TLS object
  // nullptr), writes the session log and frees the record.
  void ReleaseSession();

  // Shared with the HTTP main thread, the stop sequence and the file map's
  // serving callback.
  std::atomic<bool> in_use{false};
  std::atomic<bool> stop{false};
  std::atomic<int32_t> served_slot{-1};
  std::atomic<uint32_t> served_serial{0};
  WL_OwnedSocket socket;

  // Written by the claiming main thread, then by the worker alone.
  uint8_t is_ipv4 = 1;
  uint8_t https = 0;
  uint8_t test_stream = 0;
  uint16_t slot_index = 0;
  uint16_t tls_wait = 0;
  uint16_t error_code = 0;
  uint16_t send_status = 0;
  uint16_t state = 0;
  int32_t head_length = 0;
  uint32_t unique_tag = 0;
  int64_t connect_time = 0;
  int64_t data_time = 0;
  int64_t file_size = 0;
  uint8_t peer_key[16] = {};
  struct sockaddr_storage peer_sockaddr = {};
  WL_HttpRequest request;
  BoundedStr<41> mime;
  BoundedStr<1280> path;
  char head[kHeadBuffer] = {};
  int64_t bytes_sent = 0;
  char* send_buffer = nullptr;
  ssl_st* ssl = nullptr;
  WL_MFile file;
  WL_MinMemLog session_log;
  WL_WebSvr* service = nullptr;
};

// The HTTP session task the pool runs (family 0 IPv4, 1 IPv6). Returns -1
// without a service, -2 for a slot outside the array, 0 for a session that
// failed or sent the test stream, 1 for a file streamed to its end.
int HttpSessionTask(uint32_t slot_index, uint8_t family, const std::atomic<bool>* worker_stop, void* context);
