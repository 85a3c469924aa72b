// The SMTP client against a real mail server on loopback: aiosmtpd, plain
// and with implicit TLS, with AUTH LOGIN (tests/clients/mail_peer.py).
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemons/smtp_client.h"
#include "harness.h"

namespace {

const std::string kTestsDir = [] {
  std::string f = __FILE__;
  return f.substr(0, f.rfind('/'));
}();
constexpr const char kPython[] = "/usr/bin/python3";

bool Shell(const std::string& cmd) { return system(cmd.c_str()) == 0; }

// The peer runs on Debian's aiosmtpd; the package is installed when
// missing (one installer at a time).
bool EnsureAiosmtpd() {
  const std::string probe = std::string(kPython) + " -c 'import aiosmtpd' 2>/dev/null";
  if (Shell(probe)) return true;
  Shell("flock /tmp/zelfo-apt.lock sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-aiosmtpd' "
      ">/dev/null 2>&1");
  return Shell(probe);
}

// One mail_peer.py process; its standard input stays open while it runs.
class Peer {
 public:
  bool Start(const std::vector<std::string>& args, const std::string& record) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<std::string> all = {kPython, kTestsDir + "/clients/mail_peer.py", "--record", record};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kPython, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.rfind("READY ", 0) != 0) return false;
    port_ = atoi(line.c_str() + 6);
    return port_ > 0;
  }
  ~Peer() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      int status;
      waitpid(pid_, &status, 0);
    }
  }
  uint16_t port() const { return static_cast<uint16_t>(port_); }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};

struct Event {
  int session = 0;
  std::string event;
  std::string line;  // the whole JSON line
};

// A field of a flat JSON line: "key": "text" or "key": value.
std::string Field(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\": ";
  size_t p = json.find(k);
  if (p == std::string::npos) return "";
  p += k.size();
  if (json[p] != '"') return json.substr(p, json.find_first_of(",}", p) - p);
  std::string out;
  for (++p; p < json.size() && json[p] != '"'; ++p) {
    if (json[p] != '\\') {
      out += json[p];
      continue;
    }
    const char e = json[++p];
    if (e == 'r') out += '\r';
    else if (e == 'n') out += '\n';
    else if (e == 't') out += '\t';
    else out += e;
  }
  return out;
}

std::vector<Event> ReadEvents(const std::string& path) {
  std::vector<Event> events;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) events.push_back({atoi(Field(line, "session").c_str()), Field(line, "event"), line});
  return events;
}

std::string Hex(const unsigned char* d, unsigned n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string Digest(const EVP_MD* md, const std::string& in) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_Digest(in.data(), in.size(), d, &n, md, nullptr);
  return Hex(d, n);
}

// A body of n bytes in lines of 70, none starting with ".".
std::string Body(size_t n) {
  std::string b;
  while (b.size() < n) b += (b.size() % 72 >= 70) ? (b.size() % 72 == 70 ? '\r' : '\n') : 'a';
  b.resize(n);
  if (n >= 2 && b[n - 2] == '\r') b[n - 1] = 'z';
  return b;
}

class SmtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // the server ignores it too
    ASSERT_TRUE(EnsureAiosmtpd()) << "python3-aiosmtpd could not be installed";
    record_ = home_.dir() + "/record.jsonl";
    c_.use_tls = false;
    c_.port = 0;
    c_.user_name.Assign("mailer");
    c_.password.Assign("s3cret pass");
    c_.from.Assign("zelfo@example.test");
    c_.send_to.Assign("owner@example.test");
    c_.subject.Assign("_Zelfo_dnsmail_");
    c_.server_addr.Assign("127.0.0.1");
    c_.encode_string.Assign("encode-me");
    c_.address_text.Assign("fd00:0:0:0:0:0:0:5");
    c_.port_text.Assign("2121");
  }

  // Starts a peer with AUTH LOGIN for the client's credentials.
  void StartPeer(std::vector<std::string> args, bool auth = true) {
    if (auth) {
      args.insert(args.end(), {"--user", c_.user_name.c_str(), "--password", c_.password.c_str()});
    }
    ASSERT_TRUE(peer_.Start(args, record_));
    c_.port = peer_.port();
  }

  // Makes a CA and a certificate for "localhost" signed by it.
  void MakeCertificates() {
    const std::string d = home_.dir();
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_TRUE(Shell("cd " + d + " && openssl req -x509 " + ec +
                    " -keyout ca.key -out ca.pem -days 2 -subj /CN=ZelfoTestCA"
                    " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1"));
    ASSERT_TRUE(Shell("cd " + d + " && openssl req " + ec +
                    " -keyout srv.key -out srv.csr -subj /CN=localhost >/dev/null 2>&1 && "
                    "printf 'subjectAltName=DNS:localhost\\n' > san.ext && "
                    "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
                    "-extfile san.ext -out srv.pem >/dev/null 2>&1"));
  }

  zt::TempHome home_;
  std::string record_;
  Peer peer_;
  WL_SmtpClient c_;
};

TEST_F(SmtpClientTest, PlainDialogueWithCopiesHeadersAndBody) {
  StartPeer({"--reject-rcpt", "refused@example.test"});
  c_.cc[0].Assign("refused@example.test");
  c_.cc[2].Assign("copy@example.test");
  const std::string body = "Zelfo report line one\r\nIpv6 [internet] :fd00:0:0:0:0:0:0:5\r\n";
  ASSERT_TRUE(c_.SendMail(body.data(), body.size())) << c_.mail_error_code() << " " << c_.last_reply();
  EXPECT_EQ(c_.mail_error_code(), 0);

  const std::vector<Event> ev = ReadEvents(record_);
  std::vector<std::string> order;
  for (const Event& e : ev) {
    std::string step = e.event;
    if (e.event == "RCPT") step.append(":").append(Field(e.line, "address"));
    order.push_back(step);
  }
  const std::vector<std::string> want = {"EHLO",
                                         "AUTH",
                                         "MAIL",
                                         "RCPT:owner@example.test",
                                         "RCPT:refused@example.test",
                                         "RCPT:copy@example.test",
                                         "DATA",
                                         "QUIT"};
  ASSERT_EQ(order, want);
  // A multi-line EHLO reply ("250-..." lines before "250 ...") was read.
  EXPECT_GE(atoi(Field(ev[0].line, "reply_lines").c_str()), 2);
  EXPECT_EQ(Field(ev[0].line, "hostname"), "Zelfo_server");
  EXPECT_EQ(Field(ev[1].line, "mechanism"), "LOGIN");
  EXPECT_EQ(Field(ev[1].line, "login"), "mailer");
  EXPECT_EQ(Field(ev[1].line, "password"), "s3cret pass");
  EXPECT_EQ(Field(ev[2].line, "address"), "zelfo@example.test");
  EXPECT_EQ(Field(ev[4].line, "accepted"), "false");
  EXPECT_NE(ev[6].line.find("[\"owner@example.test\", \"copy@example.test\"]"), std::string::npos);

  // The message: the header lines in order, then the body unchanged.
  const std::string msg = Field(ev[6].line, "content");
  std::istringstream in(msg);
  std::string from, to, ipv6, device, next, subject, blank;
  for (std::string* l : {&from, &to, &ipv6, &device, &next, &subject, &blank}) {
    std::getline(in, *l, '\n');
    ASSERT_FALSE(l->empty());
    ASSERT_EQ(l->back(), '\r') << *l;
    l->pop_back();
  }
  EXPECT_EQ(from, "From: <zelfo@example.test>");
  EXPECT_EQ(to, "To: <owner@example.test>");
  EXPECT_EQ(device, "X-zelfo-device: 0");
  EXPECT_EQ(blank, "");
  // The line end before the closing "." belongs to the last line.
  EXPECT_EQ(msg.substr(msg.find("\r\n\r\n") + 4), body + "\r\n");

  // X-zelfo-ipv6: "address md5 time tick port"; both digests hash
  // "address_encode" + "time_tick".
  char addr[64], md5[64], time_text[32], tick[32], port[16];
  ASSERT_EQ(sscanf(ipv6.c_str(), "X-zelfo-ipv6: \"%63s %63s %31s %31s %15[^\"]\"", addr, md5, time_text, tick, port), 5)
      << ipv6;
  EXPECT_STREQ(addr, "fd00:0:0:0:0:0:0:5");
  EXPECT_STREQ(port, "2121");
  const std::string s = std::string(addr) + "_encode-me" + time_text + "_" + tick;
  EXPECT_EQ(md5, Digest(EVP_md5(), s).substr(0, 28));
  EXPECT_EQ(next, "X-zelfo-next: \"" + Digest(EVP_sha256(), s).substr(0, 50) + "\"");
  EXPECT_EQ(subject, std::string("Subject: _Zelfo_dnsmail_") + time_text);
}

TEST_F(SmtpClientTest, ImplicitTlsOverBothFamilies) {
  MakeCertificates();
  struct Case {
    bool ipv6;
    const char* host;
  } cases[] = {{false, "127.0.0.1"}, {true, "::1"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.host);
    Peer peer;
    ASSERT_TRUE(peer.Start({"--host", k.host, "--cert", home_.dir() + "/srv.pem", "--key", home_.dir() + "/srv.key",
                            "--user", "mailer", "--password", "s3cret pass"},
                           record_));
    c_.use_tls = true;
    c_.use_ipv6 = k.ipv6;
    c_.server_addr.Assign(k.host);
    c_.port = peer.port();
    const std::string body = "over tls\r\n";
    ASSERT_TRUE(c_.SendMail(body.data(), body.size())) << c_.mail_error_code() << " " << c_.last_reply();
  }
  int data = 0;
  for (const Event& e : ReadEvents(record_)) data += e.event == "DATA" && Field(e.line, "accepted") == "true";
  EXPECT_EQ(data, 2);
}

TEST_F(SmtpClientTest, CertificateCheckOnlyWhenAsked) {
  MakeCertificates();
  Peer peer;
  ASSERT_TRUE(peer.Start({"--cert", home_.dir() + "/srv.pem", "--key", home_.dir() + "/srv.key", "--user", "mailer",
                          "--password", "s3cret pass"},
                         record_));
  // OpenSSL's default store honours SSL_CERT_FILE: the test CA stands in
  // for the system's CA list.
  const std::string empty_dir = home_.dir() + "/no-certs";
  ASSERT_TRUE(Shell("mkdir -p " + empty_dir));
  setenv("SSL_CERT_DIR", empty_dir.c_str(), 1);
  struct Case {
    bool verify;
    const char* host;
    bool trust_ca;
    bool sent;
  } cases[] = {
      {false, "127.0.0.1", false, true},  // the default: no check at all
      {true, "localhost", true, true},    // trusted CA, matching name
      {true, "localhost", false, false},  // unknown CA
      {true, "127.0.0.1", true, false},   // trusted CA, name not in the certificate
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.host) + (k.verify ? " verify" : "") + (k.trust_ca ? " trusted" : ""));
    const std::string ca = k.trust_ca ? home_.dir() + "/ca.pem" : home_.dir() + "/missing.pem";
    setenv("SSL_CERT_FILE", ca.c_str(), 1);
    c_.use_tls = true;
    c_.verify_certificate = k.verify;
    c_.server_addr.Assign(k.host);
    c_.port = peer.port();
    const std::string body = "check\r\n";
    EXPECT_EQ(c_.SendMail(body.data(), body.size()), k.sent) << c_.mail_error_code();
    if (!k.sent) {
      EXPECT_EQ(c_.mail_error_code(), WL_SmtpClient::kHandshakeFailed);
    }
  }
  unsetenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_DIR");
}

TEST_F(SmtpClientTest, RefusalsGiveTheirCodes) {
  struct Case {
    const char* name;
    std::vector<std::string> peer_args;
    bool auth;
    const char* password;
    int32_t code;
    const char* last_event;  // the last step the server saw
  } cases[] = {
      {"message refused", {"--reject-data"}, true, "s3cret pass", WL_SmtpClient::kMessageRefused, "DATA"},
      {"wrong password", {}, true, "wrong", WL_SmtpClient::kPasswordRefused, "AUTH"},
      {"no AUTH LOGIN", {}, false, "s3cret pass", WL_SmtpClient::kLoginRefused, "EHLO"},
      {"recipient refused", {"--reject-rcpt", "owner@example.test"}, true, "s3cret pass",
       WL_SmtpClient::kRecipientRefused, "RCPT"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string record = home_.dir() + "/" + std::to_string(&k - cases) + ".jsonl";
    std::vector<std::string> args = k.peer_args;
    if (k.auth) args.insert(args.end(), {"--user", "mailer", "--password", "s3cret pass"});
    Peer peer;
    ASSERT_TRUE(peer.Start(args, record));
    c_.port = peer.port();
    c_.password.Assign(k.password);
    const std::string body = "refused?\r\n";
    EXPECT_FALSE(c_.SendMail(body.data(), body.size()));
    EXPECT_EQ(c_.mail_error_code(), k.code) << c_.last_reply();
    const std::vector<Event> ev = ReadEvents(record);
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back().event, k.last_event);
  }
}

TEST_F(SmtpClientTest, BodyLimitIs3999Bytes) {
  StartPeer({});
  const std::string fits = Body(3999);
  ASSERT_TRUE(c_.SendMail(fits.data(), fits.size())) << c_.mail_error_code();
  const std::string over = Body(4000);
  EXPECT_FALSE(c_.SendMail(over.data(), over.size()));
  EXPECT_EQ(c_.mail_error_code(), WL_SmtpClient::kBodyTooLong);
  // Only the first mail reached the server, with its body whole.
  int sessions = 0;
  for (const Event& e : ReadEvents(record_)) {
    if (e.event == "EHLO") ++sessions;
    if (e.event != "DATA") continue;
    const std::string msg = Field(e.line, "content");
    const std::string got = msg.substr(msg.find("\r\n\r\n") + 4);
    EXPECT_EQ(got.size(), fits.size() + 2);
    EXPECT_TRUE(got == fits + "\r\n");
  }
  EXPECT_EQ(sessions, 1);
}

TEST_F(SmtpClientTest, BrokenRepliesFailAtOnce) {
  struct Case {
    const char* mode;
    int read_result;
  } cases[] = {
      // A server that closes after its greeting: the read notices the close
      // instead of waiting for its time-out.
      {"close-after-greeting", WL_SmtpClient::kReadClosed},
      {"long-line", WL_SmtpClient::kReadBadLine},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.mode);
    Peer peer;
    ASSERT_TRUE(peer.Start({"--mode", k.mode}, record_));
    c_.port = peer.port();
    const std::string body = "x\r\n";
    EXPECT_FALSE(c_.SendMail(body.data(), body.size()));
    EXPECT_EQ(c_.mail_error_code(), WL_SmtpClient::kNoReply);
    EXPECT_EQ(c_.last_read_result(), k.read_result);
  }
}

TEST(SmtpClientSettings, MissingSettingsRefusedBeforeConnecting) {
  struct Case {
    void (*clear)(WL_SmtpClient&);
    int32_t code;
  } cases[] = {
      {[](WL_SmtpClient& c) { c.from.clear(); }, WL_SmtpClient::kNoFrom},
      {[](WL_SmtpClient& c) { c.user_name.clear(); }, WL_SmtpClient::kNoUser},
      {[](WL_SmtpClient& c) { c.password.clear(); }, WL_SmtpClient::kNoPassword},
      {[](WL_SmtpClient& c) { c.send_to.clear(); }, WL_SmtpClient::kNoSendTo},
      {[](WL_SmtpClient& c) { c.port = 0; }, WL_SmtpClient::kNoPort},
      {[](WL_SmtpClient& c) { c.server_addr.clear(); }, WL_SmtpClient::kNoServer},
      {[](WL_SmtpClient& c) { c.server_addr.Assign("127.0.0.1"); c.use_ipv6 = true; }, WL_SmtpClient::kNoIpv6Address},
  };
  for (const auto& k : cases) {
    WL_SmtpClient c;
    c.use_tls = false;
    c.port = 25;
    c.user_name.Assign("u");
    c.password.Assign("p");
    c.from.Assign("f@x.test");
    c.send_to.Assign("t@x.test");
    c.server_addr.Assign("127.0.0.1");
    k.clear(c);
    EXPECT_FALSE(c.SendMail("b\r\n", 3));
    EXPECT_EQ(c.mail_error_code(), k.code);
  }
}

}  // namespace
