#include "daemons/smtp_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <new>

#include "base/base64.h"
#include "base/digest.h"
#include "core/settings.h"
#include "platform/clock.h"

namespace {

constexpr const char kEhlo[] = "EHLO Zelfo_server\r\n";
constexpr const char kAuthLogin[] = "AUTH LOGIN\r\n";
constexpr const char kData[] = "DATA\r\n";
constexpr const char kQuit[] = "QUIT\r\n";
constexpr size_t kHeaderLineLimit = 1000;

bool InRange(int code, int low, int high) { return code >= low && code <= high; }

}  // namespace

void WL_SmtpClient::Configure(const WL_Settings& set) {
  use_ipv6 = set.Ipv6_Sendmail != 0;
  use_tls = set.Tls_Sendmail != 0;
  enabled = set.Enable_Sendmail != 0;
  verify_certificate = set.Cert_Verify != 0;
  probe_enum = set.Probe_Enum != 0;
  port = set.Server_port;
  // A text longer than its field is dropped, as the settings rules say.
  user_name.Assign(set.Mail_username);
  password.Assign(set.Mail_password);
  send_to.Assign(set.Mail_sendto);
  from.Assign(set.Mail_from);
  cc[0].Assign(set.Mail_cc);
  cc[1].Assign(set.Mail_cc1);
  cc[2].Assign(set.Mail_cc2);
  subject.Assign(set.Mail_subject);
  server_addr.Assign(set.Server_addr);
  encode_string.Assign(set.Encode_string);
}

int64_t WL_SmtpClient::Elapsed() const { return NowSeconds() - activity_time_; }

void WL_SmtpClient::MarkActivity() { activity_time_ = NowSeconds(); }

void WL_SmtpClient::ResetClient() {
  if (ssl_ != nullptr) {
    if (use_tls && socket_.IsOpen()) {
      for (int i = 0; i < 5; ++i) {
        ERR_clear_error();
        if (SSL_shutdown(ssl_) != 0) break;
        YieldThread();
      }
    }
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ssl_ctx_ != nullptr) {
    SSL_CTX_free(ssl_ctx_);
    ssl_ctx_ = nullptr;
  }
  message_.reset();
  message_fill_ = 0;
  socket_.Close();
  receive_fill_ = 0;
  receive_[0] = '\0';
  last_reply_.clear();
}

bool WL_SmtpClient::BuildMessage(const char* body, size_t length, int64_t now) {
  message_.reset(new (std::nothrow) char[kMessageSize]);
  if (!message_) return Fail(kNoMessageBuffer);
  message_fill_ = 0;

  char time_text[24];
  char tick_text[16];
  FormatText(time_text, sizeof(time_text), "%" PRId64, now);
  FormatText(tick_text, sizeof(tick_text), "%u", GetTickCount());

  // Both digests hash the same input: the address, the encode string, the
  // time and the tick.
  BoundedStr<320> input;
  input.Format("%s_%s%s_%s", address_text.c_str(), encode_string.c_str(), time_text, tick_text);
  char md5[33];
  char sha[65];
  Md5Hex(input.c_str(), input.size(), md5);
  md5[28] = '\0';
  Sha256Hex(input.c_str(), input.size(), sha);
  sha[50] = '\0';
  const char* digest_b = sha[0] != '\0' ? sha : "-";

  char* out = message_.get();
  auto add = [&](int n) {
    if (n < 0) return false;
    message_fill_ += static_cast<size_t>(n);
    return true;
  };
  auto room = [&]() { return std::min(kHeaderLineLimit, kMessageSize - message_fill_); };
  bool ok = add(FormatText(out + message_fill_, room(), "From: <%s>\r\n", from.c_str())) &&
            add(FormatText(out + message_fill_, room(), "To: <%s>\r\n", send_to.c_str())) &&
            add(FormatText(out + message_fill_, room(), "X-zelfo-ipv6: \"%s %s %s %s %s\"\r\nX-zelfo-device: 0\r\n",
                           address_text.c_str(), md5, time_text, tick_text, port_text.c_str())) &&
            add(FormatText(out + message_fill_, room(), "X-zelfo-next: \"%s\"\r\n", digest_b)) &&
            add(FormatText(out + message_fill_, room(), "Subject: %s%" PRId64 "\r\n\r\n", subject.c_str(), now));
  // The header and the longest body always fit the buffer.
  if (!ok || message_fill_ + length + 5 > kMessageSize) return Fail(kNoMessageBuffer);
  memcpy(out + message_fill_, body, length);
  message_fill_ += length;
  memcpy(out + message_fill_, "\r\n.\r\n", 5);
  message_fill_ += 5;
  out[message_fill_] = '\0';
  return true;
}

bool WL_SmtpClient::ConnectServer() {
  if (from.empty()) return Fail(kNoFrom);
  if (user_name.empty()) return Fail(kNoUser);
  if (password.empty()) return Fail(kNoPassword);
  if (send_to.empty()) return Fail(kNoSendTo);
  if (port == 0) return Fail(kNoPort);
  if (server_addr.empty()) return Fail(kNoServer);

  if (use_tls) {
    ssl_ctx_ = SSL_CTX_new(TLS_client_method());
    if (ssl_ctx_ == nullptr) return Fail(kNoTlsObject);
    SSL_CTX_set_mode(ssl_ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (verify_certificate) {
      // The system's CA store, and the name the settings give must match
      // the certificate.
      if (SSL_CTX_set_default_verify_paths(ssl_ctx_) != 1) return Fail(kNoTlsObject);
      SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_PEER, nullptr);
    } else {
      SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_NONE, nullptr);
    }
    SSL_CTX_set_verify_depth(ssl_ctx_, 5);
    ssl_ = SSL_new(ssl_ctx_);
    if (ssl_ == nullptr) return Fail(kNoTlsObject);
    if (verify_certificate) {
      const char* name = server_addr.c_str();
      bool named;
      if (IsAddressLiteral(name)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name) == 1;
      } else {
        named = SSL_set_tlsext_host_name(ssl_, name) == 1 && SSL_set1_host(ssl_, name) == 1;
      }
      if (!named) return Fail(kNoTlsObject);
    }
  }

  uint32_t v4 = 0;
  uint8_t v6[16] = {};
  const int found = ResolveHost(server_addr.c_str(), &v4, v6, 0);
  if (use_ipv6) {
    if (found != 6 && found != 10) return Fail(kNoIpv6Address);
  } else if (found != 4 && found != 10) {
    return Fail(kNoIpv4Address);
  }

  const int fd = NetClientSocket(use_ipv6 ? AF_INET6 : AF_INET);
  if (fd == kInvalidSocket) return Fail(kNoSocket);
  socket_.Set(fd);
  activity_time_ = NowSeconds();
  return use_ipv6 ? ConnectIpv6(fd, v6, port) : ConnectIpv4(fd, v4, port);
}

bool WL_SmtpClient::WaitConnected() {
  const int fd = socket_.Get();
  while (!Stopped()) {
    bool ready = false;
    if (!WaitWritable(fd, &ready, 200)) return Fail(kConnectWaitFailed);
    if (ready) {
      if (!WaitWritable(fd, &ready, 0)) return Fail(kConnectCheckFailed);
      if (!ready) return Fail(kConnectNotWritable);
      if (NetSocketError(fd) != 0) return Fail(kConnectWaitFailed);
      return true;
    }
    if (Elapsed() > connect_seconds) return Fail(kConnectTimeout);
    YieldThread();
  }
  return true;  // the greeting read sees the stop request
}

bool WL_SmtpClient::Handshake() {
  const int fd = socket_.Get();
  if (SSL_set_fd(ssl_, fd) != 1) return Fail(kHandshakeFailed);
  SSL_set_connect_state(ssl_);
  MarkActivity();
  while (!Stopped()) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_);
    if (rc == 1) return true;
    const int e = SSL_get_error(ssl_, rc);
    if (e != SSL_ERROR_NONE && e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return Fail(kHandshakeFailed);
    if (Elapsed() > handshake_seconds) return Fail(kHandshakeTimeout);
    bool ready = false;
    if (e == SSL_ERROR_WANT_WRITE) {
      if (!WaitWritable(fd, &ready, 100)) return Fail(kHandshakeWriteWait);
    } else if (e == SSL_ERROR_WANT_READ) {
      if (!WaitReadable(fd, &ready, 100)) return Fail(kHandshakeReadWait);
    } else {
      SleepMs(20);
    }
  }
  return true;  // the greeting read sees the stop request
}

int WL_SmtpClient::ReadReply() {
  MarkActivity();
  if (Stopped()) return last_read_ = kReadStopOnEntry;
  const int fd = socket_.Get();
  while (!Stopped()) {
    // Complete lines first: continuation lines ("250-") are passed over, the
    // final line ("250 ") ends the reply.
    while (receive_fill_ >= 6) {
      const char* end = static_cast<const char*>(memmem(receive_, receive_fill_, "\r\n", 2));
      if (end == nullptr) break;
      const size_t len = static_cast<size_t>(end - receive_);
      if (len < 4 || len > kMaxReplyLine) return last_read_ = kReadBadLine;
      last_reply_.Assign(std::string_view(receive_, len));
      receive_fill_ -= len + 2;
      memmove(receive_, receive_ + len + 2, receive_fill_);
      const char* l = last_reply_.c_str();
      if (l[3] == ' ' && isdigit(static_cast<unsigned char>(l[0])) && isdigit(static_cast<unsigned char>(l[1])) &&
          isdigit(static_cast<unsigned char>(l[2]))) {
        return last_read_ = static_cast<int>(len);
      }
    }
    if (receive_fill_ >= kReceiveSize) return last_read_ = kReadBufferFull;
    bool ready = false;
    if (!WaitReadable(fd, &ready, 100)) return last_read_ = kReadWaitFailed;
    if (ready) {
      const size_t room = kReceiveSize - receive_fill_;
      if (ssl_ == nullptr) {
        const IoResult r = NetRecv(fd, receive_ + receive_fill_, room);
        // A server that closed the connection sends nothing more: waiting
        // for the time-out would only delay the failure.
        if (r.status == IoStatus::kClosed) return last_read_ = kReadClosed;
        if (r.status == IoStatus::kError) return last_read_ = kReadWaitFailed;
        if (r.status == IoStatus::kOk) receive_fill_ += r.count;
      } else {
        size_t got = 0;
        int retries = 0;
        bool closed = false;
        bool failed = false;
        while (got < room) {
          ERR_clear_error();
          const int n = SSL_read(ssl_, receive_ + receive_fill_ + got, static_cast<int>(room - got));
          if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
          }
          const int e = SSL_get_error(ssl_, n);
          if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && ++retries <= 3) continue;
          if (e == SSL_ERROR_ZERO_RETURN) closed = true;
          else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) failed = true;
          break;
        }
        receive_fill_ += got;
        if (got == 0 && closed) return last_read_ = kReadClosed;
        if (got == 0 && failed) return last_read_ = kReadTlsFailed;
      }
      if (receive_fill_ > kReceiveSize) return last_read_ = kReadOverflow;
      continue;  // look for a line before the time-out check
    }
    const int64_t now = NowSeconds();
    if (now < activity_time_) activity_time_ = now;  // the clock was set back
    if (now - activity_time_ > reply_seconds) {
      error_code_ = kReplyTimeout;
      return last_read_ = kReadTimeout;
    }
  }
  return last_read_ = kReadStopped;
}

int WL_SmtpClient::ReplyCode() const {
  const char* l = last_reply_.c_str();
  if (last_reply_.size() < 3) return -1;
  for (int i = 0; i < 3; ++i) {
    if (!isdigit(static_cast<unsigned char>(l[i]))) return -1;
  }
  return (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
}

bool WL_SmtpClient::SendCommand(const char* text, size_t length) {
  if (ssl_ != nullptr) {
    size_t sent = 0;
    int retries = 0;
    while (sent < length) {
      ERR_clear_error();
      const int n = SSL_write(ssl_, text + sent, static_cast<int>(length - sent));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      const int e = SSL_get_error(ssl_, n);
      if ((n == 0 || e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && ++retries <= 3) continue;
      break;
    }
    return sent == length ? true : Fail(kTlsSendShort);
  }
  const IoResult r = NetSend(socket_.Get(), text, length);
  return (r.status == IoStatus::kOk && r.count == length) ? true : Fail(kPlainSendShort);
}

int WL_SmtpClient::Command(const char* text, size_t length) {
  if (!SendCommand(text, length)) return -1;
  if (ReadReply() < 1) {
    error_code_ = kNoReply;
    return -1;
  }
  return ReplyCode();
}

bool WL_SmtpClient::SendMessage() {
  MarkActivity();
  const int fd = socket_.Get();
  const char* data = message_.get();
  size_t off = 0;
  while (off < message_fill_ && !Stopped()) {
    if (ssl_ != nullptr) {
      int retries = 0;
      bool progressed = false;
      while (off < message_fill_) {
        ERR_clear_error();
        const int n = SSL_write(ssl_, data + off, static_cast<int>(message_fill_ - off));
        if (n > 0) {
          off += static_cast<size_t>(n);
          progressed = true;
          continue;
        }
        const int e = SSL_get_error(ssl_, n);
        const bool again = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
        if (again && ++retries <= 3) continue;
        if (!again && !progressed) return Fail(kMessageTlsWrite);
        break;
      }
    } else {
      const IoResult r = NetSend(fd, data + off, message_fill_ - off);
      if (r.status == IoStatus::kOk) {
        off += r.count;
      } else if (r.status != IoStatus::kWouldBlock) {
        return Fail(kMessageWriteWait);
      }
    }
    if (off >= message_fill_) break;
    bool ready = false;
    if (!WaitWritable(fd, &ready, 100)) return Fail(kMessageWriteWait);
    YieldThread();
    if (Elapsed() > send_seconds) return Fail(kMessageTimeout);
  }
  if (Stopped()) return Fail(kMessageStopped);
  return true;
}

bool WL_SmtpClient::SendMail(const char* body, size_t length) {
  ResetClient();
  error_code_ = 0;
  last_read_ = 0;
  if (length > kMaxBody) return Fail(kBodyTooLong);
  const int64_t now = NowSeconds();
  MarkActivity();
  if (!BuildMessage(body, length, now)) return false;
  if (!ConnectServer()) return false;
  if (!WaitConnected()) return false;
  if (ssl_ != nullptr && !Handshake()) return false;

  receive_fill_ = 0;
  if (ReadReply() < 1) return Fail(kNoGreeting);

  int code = Command(kEhlo, sizeof(kEhlo) - 1);
  if (code < 0) return false;
  if (!InRange(code, 200, 299)) return Fail(kLoginRefused);

  code = Command(kAuthLogin, sizeof(kAuthLogin) - 1);
  if (code < 0) return false;
  if (code != 334) return Fail(kLoginRefused);
  {
    WL_Base64 b64;
    b64.EncodeText(user_name.c_str());
    BoundedStr<200> line;
    if (!line.Format("%s\r\n", b64.Text() != nullptr ? b64.Text() : "")) return Fail(kLoginRefused);
    code = Command(line.c_str(), line.size());
    if (code < 0) return false;
    if (code != 334) return Fail(kLoginRefused);
  }
  {
    WL_Base64 b64;
    b64.EncodeText(password.c_str());
    BoundedStr<200> line;
    if (!line.Format("%s\r\n", b64.Text() != nullptr ? b64.Text() : "")) return Fail(kPasswordRefused);
    code = Command(line.c_str(), line.size());
    // The encoded password must not stay behind in memory.
    OPENSSL_cleanse(line.data(), line.size());
    if (code < 0) return false;
    if (!InRange(code, 200, 299)) return Fail(kPasswordRefused);
  }

  BoundedStr<300> line;
  line.Format("MAIL FROM:<%s>\r\n", from.c_str());
  code = Command(line.c_str(), line.size());
  if (code < 0) return false;
  if (!InRange(code, 200, 399)) return Fail(kFromRefused);

  line.Format("RCPT TO:<%s>\r\n", send_to.c_str());
  code = Command(line.c_str(), line.size());
  if (code < 0) return false;
  if (!InRange(code, 200, 399)) return Fail(kRecipientRefused);

  // A refused copy recipient does not stop the mail.
  for (const auto& c : cc) {
    if (c.empty()) continue;
    line.Format("RCPT TO:<%s>\r\n", c.c_str());
    if (Command(line.c_str(), line.size()) < 0) return false;
  }

  code = Command(kData, sizeof(kData) - 1);
  if (code < 0) return false;
  if (!InRange(code, 200, 399)) return Fail(kDataRefused);

  if (!SendMessage()) return false;
  // The server's answer to the message decides whether the mail was sent.
  if (ReadReply() < 1) return Fail(kNoReply);
  if (!InRange(ReplyCode(), 200, 299)) return Fail(kMessageRefused);

  if (!SendCommand(kQuit, sizeof(kQuit) - 1)) return false;
  ReadReply();
  return true;
}
