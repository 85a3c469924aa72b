// The SMTP client of the IPv6 address mail: one short text mail through the
// configured mail server, AUTH LOGIN, plain TCP or implicit TLS, IPv4 or
// IPv6.
//
// Only the mail thread uses it. Every wait is a short poll inside a bounded
// loop that also watches the mail thread's stop request; the server's stop
// sequence shuts the socket down to cut a wait short.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/format.h"
#include "platform/socket.h"

struct WL_Settings;
struct ssl_st;
struct ssl_ctx_st;

class WL_SmtpClient {
 public:
  // Mail error codes (mail_error_code()).
  static constexpr int32_t kBodyTooLong = -1010;
  static constexpr int32_t kNoMessageBuffer = -1011;
  static constexpr int32_t kNoFrom = -12001;
  static constexpr int32_t kNoUser = -12002;
  static constexpr int32_t kNoPassword = -12003;
  static constexpr int32_t kNoSendTo = -12004;
  static constexpr int32_t kNoPort = -12005;
  static constexpr int32_t kNoServer = -10001;
  static constexpr int32_t kNoTlsObject = -11001;
  static constexpr int32_t kNoIpv6Address = -10003;
  static constexpr int32_t kNoIpv4Address = -10004;
  static constexpr int32_t kNoSocket = -10005;
  static constexpr int32_t kConnectWaitFailed = -10021;
  static constexpr int32_t kConnectCheckFailed = -10022;
  static constexpr int32_t kConnectNotWritable = -10023;
  static constexpr int32_t kConnectTimeout = -10025;
  static constexpr int32_t kHandshakeFailed = -11003;
  static constexpr int32_t kHandshakeTimeout = -11005;
  static constexpr int32_t kHandshakeWriteWait = -11006;
  static constexpr int32_t kHandshakeReadWait = -11007;
  static constexpr int32_t kNoGreeting = -10016;
  static constexpr int32_t kReplyTimeout = -10017;
  static constexpr int32_t kTlsSendShort = -10031;
  static constexpr int32_t kPlainSendShort = -10032;
  static constexpr int32_t kNoReply = -10033;
  static constexpr int32_t kLoginRefused = -10034;  // EHLO, AUTH LOGIN or user name
  static constexpr int32_t kPasswordRefused = -10050;
  static constexpr int32_t kFromRefused = -10053;
  static constexpr int32_t kRecipientRefused = -10055;
  static constexpr int32_t kDataRefused = -10056;
  static constexpr int32_t kMessageRefused = -10057;  // the reply after "." is not 2xx
  static constexpr int32_t kMessageTlsWrite = -10061;
  static constexpr int32_t kMessageWriteWait = -10062;
  static constexpr int32_t kMessageTimeout = -10075;
  static constexpr int32_t kMessageStopped = -10066;

  // ReadReply results below 1.
  static constexpr int kReadStopped = 0;
  static constexpr int kReadStopOnEntry = -1;
  static constexpr int kReadBadLine = -2;
  static constexpr int kReadBufferFull = -5;
  static constexpr int kReadWaitFailed = -10;
  static constexpr int kReadClosed = -11;  // the server closed the connection
  static constexpr int kReadOverflow = -15;
  static constexpr int kReadTimeout = -17;
  static constexpr int kReadTlsFailed = -20;

  static constexpr size_t kMaxBody = 3999;
  static constexpr size_t kMessageSize = 6144;
  static constexpr size_t kReceiveSize = 2000;
  static constexpr size_t kMaxReplyLine = 997;

  WL_SmtpClient() = default;
  virtual ~WL_SmtpClient() { ResetClient(); }
  WL_SmtpClient(const WL_SmtpClient&) = delete;
  WL_SmtpClient& operator=(const WL_SmtpClient&) = delete;

  // Takes the mail settings of the section ZelSvrMailSet.
  void Configure(const WL_Settings& set);

  // Sends one mail with this body (at most 3999 bytes; it must hold no line
  // that starts with "."). True when the server accepted the message and
  // QUIT was sent; false with mail_error_code() set otherwise.
  bool SendMail(const char* body, size_t length);
  // Closes the connection and frees the TLS objects and the message buffer.
  // Only the mail thread calls it.
  void ResetClient();
  // Any thread: wakes the client's waits by shutting its socket down.
  void ShutdownSocket() { socket_.ShutdownByOther(); }

  int32_t mail_error_code() const { return error_code_; }
  // The compose step of the address mail records its failures here too.
  void set_mail_error_code(int32_t code) { error_code_ = code; }
  // The last reply line read from the server (without CR LF).
  const char* last_reply() const { return last_reply_.c_str(); }
  // The result of the last ReadReply.
  int last_read_result() const { return last_read_; }

  // Settings (Configure fills them; tests set them directly).
  bool use_ipv6 = false;
  bool use_tls = true;
  bool enabled = false;
  // Checks the server's certificate against the system's CA store and the
  // server name (off unless Cert_Verify asks for it).
  bool verify_certificate = false;
  bool probe_enum = true;
  uint16_t port = 465;
  BoundedStr<130> user_name;
  BoundedStr<129> password;
  BoundedStr<255> send_to;
  BoundedStr<255> from;
  BoundedStr<80> address_text;  // the IPv6 address being mailed
  BoundedStr<16> port_text;     // the FTP IPv6 port
  BoundedStr<255> cc[3];
  BoundedStr<255> subject;
  BoundedStr<500> server_addr;
  BoundedStr<130> encode_string;
  // The mail thread's stop request; nullptr means never stopped.
  const std::atomic<bool>* stop_flag = nullptr;
  // How long each phase may take, in seconds.
  int64_t connect_seconds = 120;
  int64_t handshake_seconds = 55;
  int64_t reply_seconds = 65;
  int64_t send_seconds = 100;

 private:
  bool Stopped() const { return stop_flag != nullptr && stop_flag->load(std::memory_order_acquire); }
  bool Fail(int32_t code) {
    error_code_ = code;
    return false;
  }
  bool BuildMessage(const char* body, size_t length, int64_t now);
  bool ConnectServer();
  bool WaitConnected();
  bool Handshake();
  int ReadReply();
  // The three-digit code at the start of the last reply line, or -1.
  int ReplyCode() const;
  bool SendCommand(const char* text, size_t length);
  // Sends a command and reads the reply. Returns the reply code, or a
  // negative value with the mail error code set (send failure, or no reply
  // as kNoReply).
  int Command(const char* text, size_t length);
  bool SendMessage();
  int64_t Elapsed() const;
  void MarkActivity();

  int32_t error_code_ = 0;
  int last_read_ = 0;
  WL_OwnedSocket socket_;
  int64_t activity_time_ = 0;
  ssl_st* ssl_ = nullptr;
  ssl_ctx_st* ssl_ctx_ = nullptr;
  std::unique_ptr<char[]> message_;
  size_t message_fill_ = 0;
  char receive_[kReceiveSize + 1] = {};
  size_t receive_fill_ = 0;
  BoundedStr<kMaxReplyLine + 1> last_reply_;
};
