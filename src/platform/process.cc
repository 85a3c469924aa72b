#include "platform/process.h"

#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string ExecutableDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

std::string AbsolutePath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string out(resolved);
  free(resolved);
  return out;
}

bool EnvironmentValue(const char* name, std::string* out) {
  const char* v = getenv(name);
  if (v == nullptr) return false;
  *out = v;
  return true;
}

void PrepareProcessSignals() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return sig;
}

bool KernelRandom(void* buf, size_t n) {
  unsigned char* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    ssize_t rc = getrandom(p, n, 0);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += rc;
    n -= static_cast<size_t>(rc);
  }
  return true;
}
