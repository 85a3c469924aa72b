#include "platform/power.h"

#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace {

// Runs cmd with one argument and waits for it. True when it exited 0.
bool RunPowerCommand(const char* cmd, const char* arg) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return false;
  // The server blocks its stop signals and ignores SIGPIPE; the command
  // starts with a clean signal state.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(cmd), const_cast<char*>(arg), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, cmd, nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) break;
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool HasBootCapability() {
  struct __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &head, data) != 0) return false;
  const unsigned word = CAP_SYS_BOOT / 32;
  const unsigned bit = CAP_SYS_BOOT % 32;
  return (data[word].effective >> bit) & 1u;
}

bool PowerHost(bool reboot) {
  sync();
  const char* seam = getenv("ZELFO_POWER_CMD");
  if (seam != nullptr) {
    if (seam[0] == '\0') return false;
    return RunPowerCommand(seam, reboot ? "reboot" : "poweroff");
  }
  // Returns only on failure.
  ::reboot(reboot ? RB_AUTOBOOT : RB_POWER_OFF);
  return false;
}

void EndProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  _exit(code);
}
