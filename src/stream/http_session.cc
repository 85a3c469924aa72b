#include "stream/http_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "base/mem_pool.h"
#include "base/net_text.h"
#include "ftp/tls.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "stream/file_map.h"
#include "stream/web_service.h"

namespace {

constexpr const char kReply404[] = "HTTP/1.1 404 Not found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr const char kOctetStream[] = "application/octet-stream";
constexpr int64_t kHeadSendSeconds = 65;
constexpr int64_t kReply404Seconds = 5;
constexpr size_t kTestBlock = 131072;
constexpr int64_t kTestSeconds = 132;
constexpr int64_t kTestBlockSeconds = 64;
constexpr int64_t kTestExtraCount = 2400;

// Statuses of SendAll (200 + n) and SendBlock (100 + n).
enum : uint16_t { kSendDone = 0, kSendConnError = 1, kSendTimeLimit = 4, kSendWaitFailed = 5, kSendNegative = 51,
                  kSendNothing = 52 };

// One run of the task: the record, its service and the worker's stop byte.
struct Run {
  WL_WebSvr* svc;
  WL_HttpSession* s;
  const std::atomic<bool>* worker_stop;
  BoundedStr<128> prefix;

  bool Stopping() const {
    return s->stop.load(std::memory_order_acquire) ||
           (worker_stop != nullptr && worker_stop->load(std::memory_order_acquire));
  }
  bool WorkerStopping() const { return worker_stop != nullptr && worker_stop->load(std::memory_order_acquire); }

  // The session log prefix with the current state, error code and status.
  const char* P() {
    prefix.Format("Http <%d:%x %s %s> %u code:%u %u -> ", s->slot_index, s->unique_tag, s->is_ipv4 ? "ipv4" : "ipv6",
                  s->https ? "https" : "http", s->state, s->error_code, s->send_status);
    return prefix.c_str();
  }

  void Log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
    if (svc->log_level < level) return;
    char line[WL_HttpSession::kHeadBuffer + 256];
    va_list ap;
    va_start(ap, fmt);
    const int n = FormatTextV(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (n > 0) s->session_log.AddLine(line, n, false);
  }
};

void* TakeBuffer(WL_WebSvr* svc, size_t n) {
  return svc != nullptr && svc->memory_pool != nullptr ? svc->memory_pool->MemAlloc(n) : PoolAlloc(n);
}

void GiveBuffer(WL_WebSvr* svc, void* p) {
  if (p == nullptr) return;
  if (svc != nullptr && svc->memory_pool != nullptr) {
    svc->memory_pool->MemFree(p);
  } else {
    PoolFree(p);
  }
}

// One send or receive over the plain socket or TLS; s->tls_wait tells which
// way TLS waits.
IoResult Io(WL_HttpSession* s, bool write, void* buf, size_t n) {
  if (s->ssl == nullptr) {
    s->tls_wait = 0;
    return write ? NetSend(s->socket.Get(), buf, n) : NetRecv(s->socket.Get(), buf, n);
  }
  size_t moved = 0;
  const TlsIo io = write ? TlsWrite(s->ssl, buf, n, &moved) : TlsRead(s->ssl, buf, n, &moved);
  return TlsToIo(io, moved, &s->tls_wait);
}

// Waits for the direction the last call needs; false when the wait fails.
bool WaitIo(WL_HttpSession* s, bool write, int timeout_ms) {
  bool ready = false;
  const bool want_read = s->ssl != nullptr ? s->tls_wait == 1 : !write;
  return want_read ? WaitReadable(s->socket.Get(), &ready, timeout_ms)
                   : WaitWritable(s->socket.Get(), &ready, timeout_ms);
}

// The send loop of SendAll (base 200: the limit counts from the call, waits
// of 2000 ms) and SendBlock (base 100: the limit counts from the last
// progress, waits of 30000 ms). The session stop flag ends it without a
// status. True when everything went out.
bool SendLoop(Run& r, const char* data, int64_t length, int64_t limit, bool block) {
  WL_HttpSession* s = r.s;
  const uint16_t base = block ? 100 : 200;
  if (length < 0) {
    s->send_status = static_cast<uint16_t>(base + kSendNegative);
    return false;
  }
  if (length == 0) {
    s->send_status = static_cast<uint16_t>(base + kSendNothing);
    return false;
  }
  const int wait_ms = block ? 30000 : 2000;
  int64_t mark = NowSeconds();
  uint32_t idle = 0;
  int64_t done = 0;
  while (done < length) {
    if (s->stop.load(std::memory_order_acquire)) return false;
    const IoResult io = Io(s, true, const_cast<char*>(data) + done, static_cast<size_t>(length - done));
    if (io.status == IoStatus::kOk) {
      done += static_cast<int64_t>(io.count);
      s->bytes_sent += static_cast<int64_t>(io.count);
      if (block) mark = NowSeconds();
      continue;
    }
    if (io.status != IoStatus::kWouldBlock) {
      s->send_status = static_cast<uint16_t>(base + kSendConnError);
      return false;
    }
    if (++idle % 3 == 0) {
      const int64_t now = NowSeconds();
      if (now < mark || now - mark > limit) {
        s->send_status = static_cast<uint16_t>(base + kSendTimeLimit);
        return false;
      }
    }
    if (!WaitIo(s, true, wait_ms)) {
      s->send_status = static_cast<uint16_t>(base + kSendWaitFailed);
      return false;
    }
  }
  s->send_status = base;
  return true;
}

bool SendAll(Run& r, const char* data, int64_t length, int64_t limit) { return SendLoop(r, data, length, limit, false); }
bool SendBlock(Run& r, const char* data, int64_t length, int64_t limit) {
  return SendLoop(r, data, length, limit, true);
}

// SendBlock for a plain connection: count bytes of the file from *offset
// with sendfile, the same statuses. *short_file is set when the file ends
// (or cannot be read) before count bytes.
bool SendFileBlock(Run& r, int file_fd, int64_t* offset, int64_t count, int64_t limit, bool* short_file) {
  WL_HttpSession* s = r.s;
  *short_file = false;
  int64_t mark = NowSeconds();
  uint32_t idle = 0;
  int64_t done = 0;
  while (done < count) {
    if (s->stop.load(std::memory_order_acquire)) return false;
    const FileSendResult fs = NetSendFileAt(s->socket.Get(), file_fd, offset, static_cast<size_t>(count - done));
    if (fs.status == FileSendStatus::kSent) {
      done += static_cast<int64_t>(fs.count);
      s->bytes_sent += static_cast<int64_t>(fs.count);
      mark = NowSeconds();
      continue;
    }
    if (fs.status == FileSendStatus::kEndOfFile || fs.status == FileSendStatus::kFileError) {
      *short_file = true;
      return false;
    }
    if (fs.status == FileSendStatus::kSocketError) {
      s->send_status = 100 + kSendConnError;
      return false;
    }
    if (++idle % 3 == 0) {
      const int64_t now = NowSeconds();
      if (now < mark || now - mark > limit) {
        s->send_status = 100 + kSendTimeLimit;
        return false;
      }
    }
    bool ready = false;
    if (!WaitWritable(s->socket.Get(), &ready, 30000)) {
      s->send_status = 100 + kSendWaitFailed;
      return false;
    }
  }
  s->send_status = 100;
  return true;
}

bool Handshake(Run& r) {
  WL_HttpSession* s = r.s;
  const int fd = s->socket.Get();
  SSL* ssl = r.svc->tls_ctx != nullptr ? SSL_new(r.svc->tls_ctx) : nullptr;
  if (ssl == nullptr) return false;
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return false;
  }
  SSL_set_accept_state(ssl);
  s->ssl = ssl;
  const int64_t start = NowSeconds();
  int quiet = 0;
  for (;;) {
    if (r.Stopping()) return false;
    const int rc = SSL_do_handshake(ssl);
    if (rc == 1) {
      s->tls_wait = 0;
      return true;
    }
    const int64_t now = NowSeconds();
    if (now < start || now - start > r.svc->tls_handshake_seconds) return false;
    const int err = SSL_get_error(ssl, rc);
    bool ready = false;
    if (err == SSL_ERROR_NONE) {
      if (++quiet > 20) return false;
      YieldThread();
    } else if (err == SSL_ERROR_WANT_WRITE) {
      s->tls_wait = 2;
      if (!WaitWritable(fd, &ready, 2000)) return false;
    } else if (err == SSL_ERROR_WANT_READ) {
      s->tls_wait = 1;
      if (!WaitReadable(fd, &ready, 2000)) return false;
    } else {
      ERR_clear_error();
      return false;
    }
  }
}

// Reads the request head, up to its blank line. 0 on success, -100 for a
// head too long, -1 for every other failure.
int ReadHead(Run& r) {
  WL_HttpSession* s = r.s;
  s->head_length = 0;
  s->head[0] = '\0';
  const int64_t start = NowSeconds();
  const size_t cap = WL_HttpSession::kHeadBuffer - 1;  // keeps the text terminated
  while (!r.Stopping()) {
    const int64_t now = NowSeconds();
    if (now < start || now - start > r.svc->head_timeout) return -1;
    size_t have = static_cast<size_t>(s->head_length);
    const IoResult io = Io(s, false, s->head + have, cap - have);
    if (io.status == IoStatus::kOk) {
      have += io.count;
      s->head_length = static_cast<int32_t>(have);
      s->head[have] = '\0';
      if (have > 3 && memcmp(s->head + have - 4, "\r\n\r\n", 4) == 0) return 0;
      if (have > 2198) return -100;
      continue;
    }
    if (io.status != IoStatus::kWouldBlock) return -1;
    if (!WaitIo(s, false, 2000)) return -1;
  }
  return -1;
}

void Send404(Run& r) {
  SendAll(r, kReply404, static_cast<int64_t>(sizeof(kReply404) - 1), kReply404Seconds);
  r.Log(3, "%s http response:\r\n%s", r.P(), kReply404);
}

// The test stream or the mapped item of the request: 0 for the test
// stream, the item's slot + 1, or a negative code.
int OpenRequest(Run& r) {
  WL_HttpSession* s = r.s;
  const WL_HttpRequest& q = s->request;
  if (q.dir64 == 1 && q.has_ext &&
      r.svc->test_stream.Take(q.unicode, q.hash, s->is_ipv4 != 0, s->peer_key, q.ext.c_str(), NowSeconds())) {
    return 0;
  }
  if (r.svc->filemap == nullptr) return -100;
  WL_OpenedItem item;
  const int slot = r.svc->filemap->OpenItem(q.dir64, q.unicode, q.hash, q.has_ext ? q.ext.c_str() : nullptr,
                                            s->slot_index, s->is_ipv4 != 0, s->peer_key, &item);
  if (slot < 0) return slot;
  s->path.Assign(item.path);
  if (!s->mime.Assign(item.mime)) s->mime.clear();
  FILE* f = OpenFile(item.path, "rb");
  if (f == nullptr) return -2;
  s->file.Attach(f);
  if (OpenFileSize(f) != item.file_size) return -3;
  s->file_size = item.file_size;
  s->served_serial.store(item.serial, std::memory_order_release);
  s->served_slot.store(slot, std::memory_order_release);
  return slot + 1;
}

// Sends the range (or the whole file). 1 when everything went out.
int StreamFile(Run& r) {
  WL_HttpSession* s = r.s;
  if (!s->file.IsOpen()) {
    s->error_code = kHttpNoFile;
    return 0;
  }
  // A plain connection sends straight from the page cache; TLS needs the
  // bytes in user space.
  const bool plain = s->ssl == nullptr;
  if (!plain) {
    s->send_buffer = static_cast<char*>(TakeBuffer(r.svc, WL_HttpSession::kSendBuffer));
    if (s->send_buffer == nullptr) {
      s->error_code = kHttpNoBuffer;
      return 0;
    }
  }
  s->error_code = kHttpStreamingNow;
  const int64_t block = s->request.block_length;
  int64_t offset = s->request.range_start;
  int64_t sent = 0;
  const int file_fd = FileDescriptor(s->file.stream());
  for (uint32_t blocks = 0; sent < block; ++blocks) {
    if (blocks % 3 == 0 && r.WorkerStopping()) {
      s->error_code = kHttpWorkerStop;
      return 0;
    }
    if (s->stop.load(std::memory_order_acquire)) {
      s->error_code = kHttpSessionStop;
      return 0;
    }
    const int64_t n = block - sent < static_cast<int64_t>(WL_HttpSession::kFileBlock)
                          ? block - sent
                          : static_cast<int64_t>(WL_HttpSession::kFileBlock);
    s->data_time = NowSeconds();
    bool ok;
    if (plain) {
      bool short_file = false;
      ok = SendFileBlock(r, file_fd, &offset, n, r.svc->send_timeout, &short_file);
      if (short_file) {
        s->error_code = kHttpShortRead;
        return 0;
      }
    } else {
      if (ReadBytes(s->file.stream(), s->send_buffer, static_cast<size_t>(n)) != static_cast<size_t>(n)) {
        s->error_code = kHttpShortRead;
        return 0;
      }
      ok = SendBlock(r, s->send_buffer, n, r.svc->send_timeout);
    }
    if (!ok) {
      s->error_code = s->stop.load(std::memory_order_acquire) ? kHttpSessionStop : kHttpBlockSendFailed;
      return 0;
    }
    sent += n;
    // A stream cut short by the stop flag is a failure, not a success.
    if (sent < block && s->stop.load(std::memory_order_acquire)) {
      s->error_code = kHttpSessionStop;
      return 0;
    }
  }
  return 1;
}

int ServeFile(Run& r) {
  WL_HttpSession* s = r.s;
  WL_HttpRequest& q = s->request;
  if (s->is_ipv4) {
    uint32_t host;
    memcpy(&host, s->peer_key, 4);
    r.svc->visitors.AddIpv4(host);
  } else {
    r.svc->visitors.AddIpv6(s->peer_key);
  }
  const int64_t size = s->file_size;
  if (q.range) {
    // start < size first, so size - start cannot wrap and a range never
    // turns into a backwards Content-Range.
    bool ok = q.range_start >= 0 && q.range_start < size;
    if (ok) {
      if (q.block_length < 1) {
        q.block_length = size - q.range_start;
      } else if (q.block_length > size - q.range_start) {
        ok = false;
      }
    }
    // Plain streams send from an explicit offset; only TLS reads the stream.
    if (ok && q.range_start >= 1 && s->ssl != nullptr) ok = SeekTo(s->file.stream(), q.range_start);
    if (!ok) {
      s->error_code = kHttpBadRange;
      r.Log(2, "%s check file seek failed\r\n", r.P());
      return 0;
    }
  } else {
    q.block_length = size;
    q.range_start = 0;
  }
  r.Log(5, "%s stream para: file=%s filesize=%" PRId64 " file seek=%" PRId64 " file block=%" PRId64 " range=%s\r\n",
        r.P(), s->path.c_str(), size, q.range_start, q.block_length, q.range ? "Yes" : "No");
  const char* type = s->mime.empty() ? kOctetStream : s->mime.c_str();
  BoundedStr<512> reply;
  if (q.range) {
    reply.Format("HTTP/1.1 206 OK\r\nContent-Type: %s\r\nContent-Length: %" PRId64 "\r\nContent-Range: bytes %" PRId64
                 "-%" PRId64 "/%" PRId64 "\r\nConnection: close\r\n\r\n",
                 type, q.block_length, q.range_start, q.range_start + q.block_length - 1, size);
  } else {
    reply.Format("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %" PRId64 "\r\nConnection: close\r\n\r\n",
                 type, size);
  }
  r.Log(3, "%s http response:\r\n%s", r.P(), reply.c_str());
  if (!SendAll(r, reply.c_str(), static_cast<int64_t>(reply.size()), kHeadSendSeconds)) {
    r.Log(2, "%s send http response failed.\r\n", r.P());
    return 0;
  }
  s->state = kHttpStreaming;
  s->data_time = NowSeconds();
  const int result = StreamFile(r);
  r.Log(5, "%s end of file task=%d ( transfer:%" PRId64 " fileblock:%" PRId64 " %" PRId64 ")\r\n", r.P(),
        result == 1 ? 1 : 0, s->bytes_sent, q.block_length, size);
  return result;
}

int SendTestStream(Run& r) {
  WL_HttpSession* s = r.s;
  s->error_code = kHttpTestStream;
  s->test_stream = 1;
  const int64_t start = NowSeconds();
  BoundedStr<200> reply;
  reply.Format("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: 5888888888888888\r\nConnection: close\r\n\r\n",
               kOctetStream);
  if (!SendAll(r, reply.c_str(), static_cast<int64_t>(reply.size()), kHeadSendSeconds)) return 0;
  s->send_buffer = static_cast<char*>(TakeBuffer(r.svc, WL_HttpSession::kSendBuffer));
  if (s->send_buffer == nullptr) return 0;
  memset(s->send_buffer, 1, kTestBlock);
  for (uint32_t blocks = 1;; ++blocks) {
    s->data_time = NowSeconds();
    if (!SendAll(r, s->send_buffer, static_cast<int64_t>(kTestBlock), kTestBlockSeconds)) break;
    s->bytes_sent += kTestExtraCount;
    if (blocks % 3 == 0) {
      const int64_t now = NowSeconds();
      if (now < start || now - start > kTestSeconds || r.Stopping()) break;
    }
  }
  return 0;
}

int RunSession(Run& r) {
  WL_HttpSession* s = r.s;
  WL_WebSvr* svc = r.svc;
  // 1.
  if (svc->log_level > 0) s->session_log.Activate();
  s->state = kHttpStarted;
  // The main thread accepted the socket non-blocking and kept the peer's
  // address; neither needs another system call here.
  AddressKeyOf(s->peer_sockaddr, s->peer_key);
  s->connect_time = NowSeconds();

  // 2.
  if (!svc->AdmitPeer(s->slot_index)) {
    r.Log(2, "%s bad remote ip\r\n", r.P());
    return 0;
  }
  // 3. Protect mode: with nothing to serve a scanner gets no answer at all.
  s->state = kHttpAdmitted;
  if (svc->protect_mode && svc->filemap != nullptr && svc->filemap->normal_count() == 0 &&
      svc->filemap->long_count() == 0 && !svc->test_stream.armed()) {
    r.Log(2, "%s no active map items\r\n", r.P());
    return 0;
  }
  // 4.
  s->state = kHttpReady;
  if (s->https && !Handshake(r)) {
    r.Log(2, "%s ssl shake failed\r\n", r.P());
    return 0;
  }
  // 5.
  s->state = kHttpReadingHead;
  if (ReadHead(r) != 0) {
    r.Log(2, "%s read http head failed\r\n", r.P());
    // Browsers and download tools open connections ahead of time and close
    // the ones they do not need: a connection that never sent a byte is not
    // a bad request, and counting it would lock a viewer out.
    if (s->head_length > 0) svc->firewall.RecordFailure(s->peer_key, s->is_ipv4 != 0);
    return 0;
  }
  // 6.
  if (s->head_length >= 1 && s->head_length <= 2799) r.Log(3, "%s success read head:\r\n%s", r.P(), s->head);
  s->state = kHttpParsing;
  uint16_t code = 0;
  const int parsed = ParseRequest(s->head, static_cast<size_t>(s->head_length), &s->request, &code);
  if (parsed < 0) {
    s->error_code = code;
    r.Log(2, "%s bad http head %d\r\n", r.P(), parsed);
    if (svc->bad_head_404) Send404(r);
    svc->firewall.RecordFailure(s->peer_key, s->is_ipv4 != 0);
    return 0;
  }
  // 7.
  s->state = kHttpParsed;
  const WL_HttpRequest& q = s->request;
  r.Log(5, "%s , success spilit head: %" PRIx64 " %" PRIx64 " %" PRIx64 " hkey=%s ext=%s\r\n", r.P(), q.dir64,
        q.unicode, q.hash, q.url_code.empty() ? " " : q.url_code.c_str(), q.ext.empty() ? " " : q.ext.c_str());
  // 8.
  const int opened = OpenRequest(r);
  if (opened < 0) {
    s->error_code = kHttpNoItem;
    r.Log(2, "%s failed to find map file %d\r\n", r.P(), opened);
    if (svc->send_404) Send404(r);
    return 0;
  }
  if (opened == 0) return SendTestStream(r);
  return ServeFile(r);
}

}  // namespace

WL_HttpSession::~WL_HttpSession() {
  GiveBuffer(service, send_buffer);
  send_buffer = nullptr;
  TlsShutdownFree(&ssl);
  file.Close();
  socket.Close();
}

void WL_HttpSession::ResetForConnection() {
  stop.store(false);
  served_slot.store(-1);
  served_serial.store(0);
  https = 0;
  test_stream = 0;
  tls_wait = 0;
  error_code = 0;
  send_status = 0;
  state = 0;
  head_length = 0;
  connect_time = 0;
  data_time = 0;
  file_size = 0;
  memset(peer_key, 0, sizeof(peer_key));
  memset(&peer_sockaddr, 0, sizeof(peer_sockaddr));
  request = WL_HttpRequest();
  mime.clear();
  path.clear();
  head[0] = '\0';
  bytes_sent = 0;
}

void WL_HttpSession::ReleaseSession() {
  GiveBuffer(service, send_buffer);
  send_buffer = nullptr;
  TlsShutdownFree(&ssl);
  file.Close();
  socket.Close();
  session_log.FlushToLog();
  in_use.store(false, std::memory_order_release);
}

int HttpSessionTask(uint32_t slot_index, uint8_t, const std::atomic<bool>* worker_stop, void* context) {
  auto* svc = static_cast<WL_WebSvr*>(context);
  if (svc == nullptr) return -1;
  WL_HttpSession* s = svc->Session(slot_index);
  if (s == nullptr) {
    svc->fatal_errors.fetch_add(1, std::memory_order_relaxed);
    return -2;
  }
  Run r{svc, s, worker_stop, {}};
  const int result = RunSession(r);
  // 11. A failed session is cut off at once; a finished one closes
  // normally so the last bytes reach the client.
  TlsShutdownFree(&s->ssl);
  s->socket.Close(/*skip_shutdown=*/result != 0);
  svc->AddBytesSent(s->bytes_sent);
  r.Log(1, "%s exit now\r\n", r.P());
  s->ReleaseSession();
  return result;
}
