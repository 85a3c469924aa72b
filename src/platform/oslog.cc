#include "platform/oslog.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {
std::atomic<bool> g_echo{true};
}

void Wl_OsLog::SetEcho(bool on) { g_echo.store(on); }

bool Wl_OsLog::Register() {
  if (!registered_) {
    openlog("zelfosvr", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    registered_ = true;
  }
  return true;
}

void Wl_OsLog::Report(const char* text, int type) {
  if (!registered_ || text == nullptr) return;
  syslog(type == kEventError ? LOG_ERR : LOG_INFO, "%s", text);
  char line[1100];
  size_t n = strnlen(text, 1004);
  memcpy(line, "zelfosvr event: ", 16);
  memcpy(line + 16, text, n);
  line[16 + n] = '\n';
  EchoToStderr(line, static_cast<int>(16 + n + 1));
}

Wl_OsLog::~Wl_OsLog() {
  if (registered_) closelog();
}

void EchoToStderr(const char* text, int length) {
  if (!g_echo.load() || length <= 0) return;
  ssize_t rc = write(STDERR_FILENO, text, static_cast<size_t>(length));
  (void)rc;
}
