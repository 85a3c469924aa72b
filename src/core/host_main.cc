// zelfosvr: runs the server in the foreground until SIGTERM or SIGINT.
#include <cstdio>
#include <cstring>
#include <string>

#include "accounts/scramble.h"
#include "core/server.h"
#include "platform/process.h"

namespace {

constexpr const char kVersionText[] = "zelfosvr 4.30";

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: zelfosvr [--home DIR] [--version] [--help]\n"
          "       zelfosvr --scramble-password < password\n"
          "  --home DIR   install directory; settings are read from DIR/config\n"
          "               (default: the directory of the executable)\n"
          "  --version    print the version and exit\n"
          "  --help       print this text and exit\n"
          "  --scramble-password\n"
          "               read a password (1 to 128 bytes) on standard input and\n"
          "               print its SPass_Word text for myaccount.ini\n");
}

// Reads one line from standard input and prints its scrambled form.
int ScramblePasswordFromStdin() {
  char line[512];
  if (fgets(line, sizeof(line), stdin) == nullptr) {
    fprintf(stderr, "zelfosvr: no password on standard input\n");
    return 2;
  }
  size_t n = strcspn(line, "\r\n");
  line[n] = '\0';
  const std::string text = ScramblePassword(std::string_view(line, n));
  if (text.empty()) {
    fprintf(stderr, "zelfosvr: a password has 1 to 128 bytes\n");
    return 2;
  }
  printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (strcmp(a, "--scramble-password") == 0 && argc == 2) return ScramblePasswordFromStdin();
    if (strcmp(a, "--version") == 0) {
      printf("%s\n", kVersionText);
      return 0;
    }
    if (strcmp(a, "--home") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      home = argv[++i];
      continue;
    }
    if (strncmp(a, "--home=", 7) == 0 && a[7] != '\0') {
      home = a + 7;
      continue;
    }
    fprintf(stderr, "zelfosvr: bad option '%s'\n", a);
    PrintUsage(stderr);
    return 2;
  }

  // Before any thread starts: signals go to the waiting main thread only.
  PrepareProcessSignals();
  auto* server = new WL_ZelFtpSvr();
  // Paths built from the install directory must be absolute.
  if (!home.empty()) server->SetInstallDir(AbsolutePath(home));
  if (!server->Start()) {
    server->Stop();
    delete server;
    return 1;
  }
  WaitForStopSignal();
  // A second signal stays blocked and pending: stop runs once.
  server->Stop();
  delete server;
  return 0;
}
