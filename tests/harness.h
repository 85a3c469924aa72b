// Test harness: temporary homes, free ports, the real zelfosvr as a child
// process, and a raw control-connection client with deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// A temporary install directory with a config/ folder; removed on
// destruction.
class TempHome {
 public:
  explicit TempHome(bool with_config = true);
  ~TempHome();
  const std::string& dir() const { return dir_; }
  std::string config() const { return dir_ + "/config"; }
  // Writes config/set.ini.
  void WriteSettings(const std::string& text) const;
  void WriteFile(const std::string& relative, const std::string& text) const;

 private:
  std::string dir_;
};

// A TCP port free on both 127.0.0.1 and ::1 at the time of the call.
int FreePort();
// The set.ini text of a test server on the given ports (IPv4 and IPv6 on
// the same port) plus extra lines appended to [Zelfo_ftp] and [Zelfo_extend].
std::string BasicSettings(int port, const std::string& ftp_extra = "", const std::string& extend_extra = "",
                          const std::string& more_sections = "");

// The zelfosvr binary running as a child process.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  // Starts zelfosvr with the given arguments; stdout and stderr go to a file.
  bool Launch(const std::vector<std::string>& args);
  bool Start(const TempHome& home) { return Launch({"--home", home.dir()}); }
  // Connects until a 220 greeting arrives on 127.0.0.1:port or the process
  // exits. Returns true on a greeting.
  bool WaitForGreeting(int port, double seconds = 10.0);
  // Sends SIGTERM and waits. Returns the exit code (-1 on a signal death or
  // time-out); *elapsed gets the seconds it took.
  int Stop(double timeout_seconds = 10.0, double* elapsed = nullptr);
  // Waits for the process to exit by itself; returns its exit code or -1.
  int WaitExit(double timeout_seconds);
  std::string Output() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string out_path_;
};

// A raw FTP control connection.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(RawClient&& o) noexcept : fd_(o.fd_), buf_(std::move(o.buf_)) { o.fd_ = -1; }
  // source, when given, is the local address to connect from (127.0.0.x).
  bool Connect(const std::string& host, int port, double seconds = 5.0, const std::string& source = "");
  bool Send(const std::string& bytes);
  bool SendLine(const std::string& line) { return Send(line + "\r\n"); }
  // Reads one reply line (through "\r\n"), or "" on close or time-out.
  std::string ReadLine(double seconds = 5.0);
  // True when the server closes the connection within the time without
  // sending anything more (any bytes sent make it false).
  bool ClosedWithoutReply(double seconds = 5.0);
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string buf_;
};

// Runs a shell command; returns its exit status and fills out with stdout.
int RunCommand(const std::string& cmd, std::string* out);

// Writes text to path (creating its directories), and sets its modification
// time when mtime is above 0.
void PutFile(const std::string& path, const std::string& text, int64_t mtime = 0);
// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
// The modification time of path itself (a link is not followed); -1 when
// it does not exist.
int64_t FileMTime(const std::string& path);

}  // namespace zt
