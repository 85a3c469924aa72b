#include "client/ftp_client.h"

#include <cinttypes>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "base/digest.h"
#include "base/format.h"
#include "client/client_tls.h"
#include "ftp/arg_parsers.h"
#include "ftp/login_hash.h"
#include "ftp/protect_hash.h"

namespace {

// Seconds to wait for a reply or a connect. Transfers wait longer for the
// final reply, since the server answers only when the data is through.
constexpr int kReplyTimeout = 120;
constexpr int kConnectTimeout = 20;

bool IsCode(const std::string& line) {
  return line.size() >= 3 && isdigit(static_cast<unsigned char>(line[0])) &&
         isdigit(static_cast<unsigned char>(line[1])) && isdigit(static_cast<unsigned char>(line[2]));
}

// The fields after the first "|" of a reply line.
const char* AfterBar(const std::string& text) {
  const size_t bar = text.find('|');
  return bar == std::string::npos ? nullptr : text.c_str() + bar + 1;
}

}  // namespace

std::string WL_Reply::Brief() const {
  if (code == 0) return "no reply";
  return std::to_string(code) + " " + text;
}

uint64_t ClientRandom64() {
  uint64_t v = 0;
  while (v == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof(v)) != 1) v = 0x5a17c0de;
  }
  return v >> 1 | 1;  // positive as a signed value, never 0
}

WL_FtpClient::WL_FtpClient(const WL_ClientOptions& o) : o_(o) {}

WL_FtpClient::~WL_FtpClient() {
  control_.Close();
  FreeClientTlsContext(tls_ctx_);
  OPENSSL_cleanse(protect_key_.data(), protect_key_.size());
}

bool WL_FtpClient::SendLine(const std::string& line) {
  const std::string out = line + "\r\n";
  return control_.SendAll(out.data(), out.size(), kReplyTimeout);
}

WL_Reply WL_FtpClient::ReadReply() {
  WL_Reply r;
  std::string first_code;
  for (;;) {
    size_t end;
    while ((end = inbuf_.find("\r\n")) == std::string::npos) {
      char block[4096];
      const long n = control_.RecvSome(block, sizeof(block), kReplyTimeout);
      if (n <= 0) {
        r.code = 0;
        return r;
      }
      inbuf_.append(block, static_cast<size_t>(n));
    }
    std::string line = inbuf_.substr(0, end);
    inbuf_.erase(0, end + 2);
    r.lines.push_back(line);
    if (!IsCode(line)) continue;  // a continuation line without a number
    if (first_code.empty()) first_code = line.substr(0, 3);
    if (line.size() > 3 && line[3] == '-') continue;
    if (line.compare(0, 3, first_code) != 0) continue;
    r.code = atoi(first_code.c_str());
    r.text = line.size() > 4 ? line.substr(4) : std::string();
    return r;
  }
}

WL_Reply WL_FtpClient::Command(const std::string& line) {
  if (!SendLine(line)) return WL_Reply();
  return ReadReply();
}

WL_Reply WL_FtpClient::Protected(const std::string& verb, const std::string& arg, uint32_t kind) {
  if (signing() && kind > 0) {
    // The server moves its nonce on by the counter of the previous NEXP
    // before it checks; the signature is made for that nonce.
    const uint64_t nonce = protect_nonce_ + protect_counter_;
    char sig[129];
    if (!ProtectSignature(arg, protect_key_, kind, protect_value_, nonce, sig)) return WL_Reply();
    char line[256];
    FormatText(line, sizeof(line), "NEXP %u %" PRIx64 "*%s", kind, protect_value_, sig);
    const WL_Reply r = Command(line);
    if (r.code != 200) return r;
    protect_nonce_ = nonce;
    protect_counter_ = static_cast<uint32_t>(strtoul(r.text.c_str(), nullptr, 10));
    ++protect_value_;
  }
  return Command(arg.empty() ? verb : verb + " " + arg);
}

WL_Outcome WL_FtpClient::Failure(const WL_Reply& r, const std::string& what) const {
  if (r.code == 0) return WL_Outcome::Fail(kExitConnection, what + ": the connection to the server was lost");
  return WL_Outcome::Fail(kExitRefused, what + ": the server answered " + r.Brief());
}

WL_Outcome WL_FtpClient::Open(const std::string& password, bool backup) {
  std::string error;
  if (!ResolveServer(o_.server.host, &addr_, &error)) return WL_Outcome::Fail(kExitConnection, error);
  if (!control_.Connect(addr_, o_.server.port, kConnectTimeout, &error)) {
    return WL_Outcome::Fail(kExitConnection, "cannot connect to " + o_.server.host + " port " +
                                                 std::to_string(o_.server.port));
  }
  if (o_.UsesTls()) {
    tls_ctx_ = NewClientTlsContext(o_.insecure, o_.ca_file, &error);
    if (tls_ctx_ == nullptr) return WL_Outcome::Fail(kExitConnection, error);
  }
  if (o_.server.implicit_tls && !control_.StartTls(tls_ctx_, o_.server.host, nullptr, kConnectTimeout, &error)) {
    return WL_Outcome::Fail(kExitConnection, error);
  }
  const WL_Reply greeting = ReadReply();
  if (greeting.code == 0) return WL_Outcome::Fail(kExitConnection, "the server closed the connection without a greeting");
  if (greeting.code >= 400) return WL_Outcome::Fail(kExitConnection, "the server is not accepting: " + greeting.Brief());
  if (o_.tls) {
    const WL_Reply auth = Command("AUTH TLS");
    if (auth.code != 234) return WL_Outcome::Fail(kExitConnection, "the server refused TLS: " + auth.Brief());
    if (!control_.StartTls(tls_ctx_, o_.server.host, nullptr, kConnectTimeout, &error)) {
      return WL_Outcome::Fail(kExitConnection, error);
    }
  }
  WL_Outcome login = Login(password, backup);
  if (!login.ok()) return login;
  if (o_.UsesTls()) {
    WL_Reply r = Command("PBSZ 0");
    if (r.Good()) r = Command("PROT P");
    if (!r.Good()) return Failure(r, "data protection");
  }
  if (o_.clear_login) {
    // What the hash login sets by itself: simple listings, and a reply
    // line after each econn handshake.
    WL_Reply r = Command("SLST");
    if (r.Good() && o_.econn) r = Command("RESP 0");
    if (!r.Good()) return Failure(r, "session setup");
  }
  if (o_.econn) {
    const WL_Reply v = Command("VERS");
    int64_t f[3] = {};
    if (v.code != 200 || ScanFields(v.text.c_str(), "ddd", f) < 3) return Failure(v, "VERS");
    if (f[2] <= 0 || f[2] > 65535) return WL_Outcome::Fail(kExitConnection, "the server offers no econn port");
    econn_port_ = static_cast<uint16_t>(f[2]);
  }
  if (command_protect_ >= 1) return StartProtect(password);
  return WL_Outcome::Done();
}

WL_Outcome WL_FtpClient::Login(const std::string& password, bool backup) {
  std::string user = o_.server.user;
  const bool has_suffix = user.size() >= 6 && strcasecmp(user.c_str() + user.size() - 5, ".BACK") == 0;
  if (backup && !has_suffix) user += ".BACK";
  const WL_Reply u = Command("USER " + user);
  if (u.code != 331) return Failure(u, "login refused");
  const char* fields = AfterBar(u.text);
  int64_t f[11] = {};
  // session id, slot, 0, 0, version, backup, account hashes, hash admin
  // only, session token, shake code, command protect.
  if (fields == nullptr || ScanFields(fields, "hhhxddddxhh", f) < 11) {
    return WL_Outcome::Fail(kExitConnection, "the server's USER reply cannot be read: " + u.Brief());
  }
  session_id_ = static_cast<uint32_t>(f[0]);
  use_account_sha_ = f[6] != 0;
  session_token_ = static_cast<uint64_t>(f[8]);
  command_protect_ = static_cast<int>(f[10]);

  if (o_.clear_login) {
    const WL_Reply p = Command("PASS " + password);
    if (p.code != 230) return Failure(p, "login refused");
    return WL_Outcome::Done();
  }
  // The hash covers the session's values; the nonce it mixes in is the one
  // the session held before (none was sent), while the parameters carry a
  // fresh one for the econn token.
  std::string hash = LoginHash512(password, session_id_, session_token_, 0);
  char params[160];
  FormatText(params, sizeof(params), "%" PRIx64 " 0 0 0 0 1 0 0 512 %d", ClientRandom64(), o_.https ? 1 : 0);
  std::string line = std::string("PASA ") + params + "|" + hash;
  const WL_Reply p = Command(line);
  OPENSSL_cleanse(line.data(), line.size());
  OPENSSL_cleanse(hash.data(), hash.size());
  if (p.code != 230) return Failure(p, "login refused");
  // level, admin, econn port, HTTP port, hash option, HTTPS, 1, joint CRC.
  int64_t g[8] = {};
  if (ScanFields(p.text.c_str(), "ddhhhddd", g) < 8) {
    return WL_Outcome::Fail(kExitConnection, "the server's login reply cannot be read: " + p.Brief());
  }
  return WL_Outcome::Done();
}

WL_Outcome WL_FtpClient::StartProtect(const std::string& password) {
  const uint64_t value = ClientRandom64();
  char line[64];
  FormatText(line, sizeof(line), "CINT %" PRIx64, value);
  const WL_Reply r = Command(line);
  int64_t f[2] = {};
  if (r.code != 200 || ScanFields(r.text.c_str(), "xx", f) < 2) return Failure(r, "command protect");
  std::string secret = ProtectSecret(password, use_account_sha_);
  char key[129];
  const bool ok = ProtectKey(value, secret, static_cast<uint64_t>(f[0]), static_cast<uint64_t>(f[1]), key);
  OPENSSL_cleanse(secret.data(), secret.size());
  if (!ok) return WL_Outcome::Fail(kExitRefused, "command protect: the key cannot be formed");
  protect_key_.assign(key, 128);
  OPENSSL_cleanse(key, sizeof(key));
  protect_value_ = value;
  protect_nonce_ = static_cast<uint64_t>(f[0]);
  protect_counter_ = 0;
  return WL_Outcome::Done();
}

WL_Outcome WL_FtpClient::ConnectPassive(WL_NetStream* data) {
  const WL_Reply r = Command("EPSV");
  const size_t at = r.text.find("(|||");
  if (r.code != 229 || at == std::string::npos) return Failure(r, "passive mode");
  const long port = strtol(r.text.c_str() + at + 4, nullptr, 10);
  if (port <= 0 || port > 65535) return Failure(r, "passive mode");
  std::string error;
  if (!data->Connect(addr_, static_cast<uint16_t>(port), kConnectTimeout, &error)) {
    return WL_Outcome::Fail(kExitConnection, "data connection: " + error);
  }
  return WL_Outcome::Done();
}

WL_Outcome WL_FtpClient::ConnectEconn(WL_NetStream* data) {
  const uint64_t value = ClientRandom64();
  char line[64];
  FormatText(line, sizeof(line), "%s %" PRIx64, o_.UsesTls() ? "CONS" : "CONN", value);
  const WL_Reply r = Command(line);
  int64_t f[3] = {};
  if (r.code != 222 || ScanFields(r.text.c_str(), "hhx", f) < 3) return Failure(r, "econn");
  // The key both ends derive: MD5 of the client value and the server's
  // random number, in hex.
  char text[48];
  const int n = FormatText(text, sizeof(text), "%" PRIx64 "%" PRIx64, value, static_cast<uint64_t>(f[2]));
  char key[33];
  if (n < 0 || Md5Hex(text, static_cast<size_t>(n), key) != 1) {
    return WL_Outcome::Fail(kExitConnection, "econn: the key cannot be formed");
  }
  std::string error;
  if (!data->Connect(addr_, econn_port_, kConnectTimeout, &error)) {
    return WL_Outcome::Fail(kExitConnection, "econn port " + std::to_string(econn_port_) + ": " + error);
  }
  char hello[64];
  const int h = FormatText(hello, sizeof(hello), "%08x %s\r\n", static_cast<unsigned>(f[1]), key);
  if (h != 43 || !data->SendAll(hello, static_cast<size_t>(h), kConnectTimeout)) {
    return WL_Outcome::Fail(kExitConnection, "econn: the handshake cannot be sent");
  }
  // "200 %04x\r\n" (or 234 under TLS) with our value's low 16 bits.
  char answer[10];
  size_t got = 0;
  while (got < sizeof(answer)) {
    const long k = data->RecvSome(answer + got, sizeof(answer) - got, kConnectTimeout);
    if (k <= 0) return WL_Outcome::Fail(kExitConnection, "econn: the server refused the handshake");
    got += static_cast<size_t>(k);
  }
  char expect[16];
  FormatText(expect, sizeof(expect), "%s %04x\r\n", o_.UsesTls() ? "234" : "200", static_cast<unsigned>(value & 0xFFFF));
  if (memcmp(answer, expect, sizeof(answer)) != 0) {
    return WL_Outcome::Fail(kExitConnection, "econn: unexpected handshake answer");
  }
  return WL_Outcome::Done();
}

WL_Outcome WL_FtpClient::StartData(const std::string& verb, const std::string& arg, uint32_t kind,
                                   WL_NetStream* data, WL_Reply* first) {
  WL_Outcome prepared = o_.econn ? ConnectEconn(data) : ConnectPassive(data);
  if (!prepared.ok()) return prepared;
  *first = Protected(verb, arg, kind);
  if (first->code == 0) return Failure(*first, verb);
  if (first->code >= 200) {
    data->Close();
    return WL_Outcome::Done();
  }
  if (o_.UsesTls()) {
    std::string error;
    SSL_SESSION* resume = SSL_get1_session(control_.Ssl());
    const bool ok = data->StartTls(tls_ctx_, o_.server.host, resume, kConnectTimeout, &error);
    if (resume != nullptr) SSL_SESSION_free(resume);
    if (!ok) return WL_Outcome::Fail(kExitConnection, "data connection: " + error);
  }
  return WL_Outcome::Done();
}

void WL_FtpClient::Quit() {
  if (!control_.IsOpen()) return;
  if (SendLine("QUIT")) ReadReply();
  control_.Close();
}
