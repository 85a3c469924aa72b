// The client's control connection: connect, TLS, login, signed commands and
// the preparation of data connections (passive or econn).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/net_stream.h"
#include "client/options.h"
#include "client/outcome.h"

struct ssl_ctx_st;

// One reply: its code (0 when none came) and its lines without the
// numbers, the last line included.
struct WL_Reply {
  int code = 0;
  std::vector<std::string> lines;  // each as sent, without CR LF
  std::string text;                // the last line after "NNN "

  bool Good() const { return code >= 100 && code < 400; }
  // "NNN text" of the last line, for messages.
  std::string Brief() const;
};

// A fresh 64-bit random value (never 0).
uint64_t ClientRandom64();

class WL_FtpClient {
 public:
  explicit WL_FtpClient(const WL_ClientOptions& o);
  ~WL_FtpClient();
  WL_FtpClient(const WL_FtpClient&) = delete;
  WL_FtpClient& operator=(const WL_FtpClient&) = delete;

  // Connects, negotiates TLS, reads the greeting and logs in (to the
  // account's backup tree when backup is set). The password is used here
  // and for the command-protect key, and not kept.
  WL_Outcome Open(const std::string& password, bool backup);
  // Sends QUIT and closes.
  void Quit();

  WL_Reply Command(const std::string& line);
  // A command the server may require a signature for: NEXP first when this
  // session signs its commands. arg is signed exactly as sent.
  WL_Reply Protected(const std::string& verb, const std::string& arg, uint32_t kind);

  // Prepares a data connection, sends "verb arg" (signed with kind when
  // kind > 0), and reads the first reply into *first. On a 1xx reply the
  // data stream is connected (and in TLS when the session uses TLS);
  // otherwise the outcome is done and *first tells the refusal.
  WL_Outcome StartData(const std::string& verb, const std::string& arg, uint32_t kind, WL_NetStream* data,
                       WL_Reply* first);
  // Reads the final reply of a transfer.
  WL_Reply ReadReply();

  // The outcome of a reply that ended the connection or refused.
  WL_Outcome Failure(const WL_Reply& r, const std::string& what) const;

  bool signing() const { return !protect_key_.empty(); }

 private:
  bool SendLine(const std::string& line);
  WL_Outcome Login(const std::string& password, bool backup);
  WL_Outcome StartProtect(const std::string& password);
  WL_Outcome ConnectPassive(WL_NetStream* data);
  WL_Outcome ConnectEconn(WL_NetStream* data);

  const WL_ClientOptions& o_;
  WL_ServerAddress addr_;
  WL_NetStream control_;
  ssl_ctx_st* tls_ctx_ = nullptr;
  std::string inbuf_;
  // Values of the login.
  uint32_t session_id_ = 0;
  uint64_t session_token_ = 0;
  bool use_account_sha_ = false;
  int command_protect_ = 0;
  uint16_t econn_port_ = 0;
  // Command protect: the key and the values both ends advance.
  std::string protect_key_;
  uint64_t protect_value_ = 0;
  uint64_t protect_nonce_ = 0;
  uint32_t protect_counter_ = 0;
};
