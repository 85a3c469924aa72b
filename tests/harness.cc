#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <fstream>
#include <sstream>
#include <thread>

namespace zt {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct IgnoreSigpipe {
  IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }
} g_ignore_sigpipe;

bool BindPort(int family, int port) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  int rc;
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  close(fd);
  return rc == 0;
}

}  // namespace

// A self-signed certificate and key made once per test process with the
// openssl command line (EC P-256: fast to make).
const std::string& TestCertificateDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/zelfo-cert-XXXXXX";
    std::string d = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 "
               "-subj /CN=localhost -keyout " + d + "/sslkey.pem -out " + d + "/sslcert.pem 2>/dev/null",
               nullptr);
    return d;
  }();
  return dir;
}

TempHome::TempHome(bool with_config) {
  char tmpl[] = "/tmp/zelfo-test-XXXXXX";
  char* d = mkdtemp(tmpl);
  dir_ = d != nullptr ? d : "/tmp/zelfo-test-failed";
  if (with_config) {
    std::filesystem::create_directories(config());
    // The default TLS files of the settings: every start needs them.
    for (const char* name : {"sslcert.pem", "sslkey.pem"}) {
      std::error_code ec;
      std::filesystem::copy_file(TestCertificateDir() + "/" + name, config() + "/" + name, ec);
    }
  }
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TempHome::WriteSettings(const std::string& text) const { WriteFile("config/set.ini", text); }

void TempHome::WriteFile(const std::string& relative, const std::string& text) const {
  std::ofstream f(dir_ + "/" + relative, std::ios::binary);
  f << text;
}

int FreePort() {
  // Below the kernel's ephemeral range (32768 and up), so an outgoing
  // connection of another test cannot take the port before the server binds.
  static thread_local std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int port = 20000 + static_cast<int>(rng() % 12000);
    if (BindPort(AF_INET, port) && BindPort(AF_INET6, port)) return port;
  }
  return 0;
}

std::string BasicSettings(int port, const std::string& ftp_extra, const std::string& extend_extra,
                          const std::string& more_sections) {
  std::ostringstream s;
  s << "[Zelfo_ftp]\r\nService_portv4=" << port << "\r\nService_portv6=" << port << "\r\n" << ftp_extra
    << "\r\n[Zelfo_extend]\r\n" << extend_extra << "\r\nLog_level=0\r\n" << more_sections;
  if (more_sections.find("[Zelfo_http]") == std::string::npos) {
    // The HTTP stream service always starts: a free port of its own keeps
    // parallel servers off the default port.
    int http = FreePort();
    while (http == port) http = FreePort();
    s << "\r\n[Zelfo_http]\r\nService_portv4=" << http << "\r\nService_portv6=" << http << "\r\n";
  }
  std::string text = s.str();
  if (text.find("Econ_portv4") == std::string::npos) {
    // The econn service always starts as well: a free port of its own in
    // the first [Zelfo_extend] section (the one that is read).
    int econn = FreePort();
    while (econn == port) econn = FreePort();
    const std::string head = "[Zelfo_extend]\r\n";
    const size_t at = text.find(head);
    if (at != std::string::npos) {
      text.insert(at + head.size(),
                  "Econ_portv4=" + std::to_string(econn) + "\r\nEcon_portv6=" + std::to_string(econn) + "\r\n");
    }
  }
  return text;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!out_path_.empty()) unlink(out_path_.c_str());
}

bool ServerProcess::Launch(const std::vector<std::string>& args) {
  char tmpl[] = "/tmp/zelfo-out-XXXXXX";
  int out = mkstemp(tmpl);
  if (out < 0) return false;
  out_path_ = tmpl;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZELFOSVR_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ZELFOSVR_PATH, argv.data());
    _exit(127);
  }
  close(out);
  return true;
}

bool ServerProcess::WaitForGreeting(int port, double seconds) {
  const auto start = Clock::now();
  while (SecondsSince(start) < seconds) {
    int status;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    RawClient c;
    if (c.Connect("127.0.0.1", port, 1.0)) {
      std::string line = c.ReadLine(2.0);
      if (line.rfind("220 ", 0) == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int ServerProcess::WaitExit(double timeout_seconds) {
  if (pid_ <= 0) return -1;
  const auto start = Clock::now();
  while (SecondsSince(start) < timeout_seconds) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

int ServerProcess::Stop(double timeout_seconds, double* elapsed) {
  if (pid_ <= 0) return -1;
  const auto start = Clock::now();
  kill(pid_, SIGTERM);
  int code = WaitExit(timeout_seconds);
  if (elapsed != nullptr) *elapsed = SecondsSince(start);
  return code;
}

std::string ServerProcess::Output() const {
  std::ifstream f(out_path_, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

RawClient::~RawClient() { Close(); }

void RawClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawClient::Connect(const std::string& host, int port, double seconds, const std::string& source) {
  Close();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  fd_ = socket(res->ai_family, SOCK_STREAM, 0);
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  }
  fcntl(fd_, F_SETFL, O_NONBLOCK);
  int rc = connect(fd_, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (rc != 0 && errno != EINPROGRESS) {
    Close();
    return false;
  }
  pollfd p{fd_, POLLOUT, 0};
  if (poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) {
    Close();
    return false;
  }
  int err = 0;
  socklen_t len = sizeof(err);
  getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 1000);
      continue;
    }
    return false;
  }
  return true;
}

std::string RawClient::ReadLine(double seconds) {
  const auto start = Clock::now();
  for (;;) {
    size_t pos = buf_.find("\r\n");
    if (pos != std::string::npos) {
      std::string line = buf_.substr(0, pos + 2);
      buf_.erase(0, pos + 2);
      return line;
    }
    double left = seconds - SecondsSince(start);
    if (left <= 0 || fd_ < 0) return "";
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char tmp[4096];
    ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
    if (n > 0) {
      buf_.append(tmp, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return "";
    }
  }
}

bool RawClient::ClosedWithoutReply(double seconds) {
  if (!buf_.empty()) return false;
  const auto start = Clock::now();
  while (SecondsSince(start) < seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char tmp[256];
    ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
    if (n == 0) return true;
    if (n > 0) return false;
    if (errno == ECONNRESET) return true;
    if (errno != EAGAIN && errno != EINTR) return true;
  }
  return false;
}

int RunCommand(const std::string& cmd, std::string* out) {
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  if (out != nullptr) out->clear();
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
    if (out != nullptr) out->append(buf, n);
  }
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PutFile(const std::string& path, const std::string& text, int64_t mtime) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  if (mtime > 0) {
    struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), t, 0);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int64_t FileMTime(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

}  // namespace zt
