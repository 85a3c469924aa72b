// The operating system's log for service events (start, stop, failures).
// Events go to syslog (ident "zelfosvr", facility daemon) and, while the
// server runs in the foreground, the same line goes to standard error.
#pragma once

constexpr int kEventError = 1;
constexpr int kEventInformation = 4;

class Wl_OsLog {
 public:
  // Opens the syslog connection. Returns true (syslog cannot fail to open).
  bool Register();
  bool IsRegistered() const { return registered_; }
  // Reports one event text of the given type (kEventError or
  // kEventInformation).
  void Report(const char* text, int type);
  ~Wl_OsLog();

  // Whether events are copied to standard error (the host's foreground run).
  static void SetEcho(bool on);

 private:
  bool registered_ = false;
};

// Writes one line to standard error when echo is on (the host runs in the
// foreground). The line is written in one call so lines of threads do not mix.
void EchoToStderr(const char* text, int length);
