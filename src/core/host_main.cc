// zelfosvr: runs the server in the foreground until SIGTERM or SIGINT.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/server.h"
#include "platform/process.h"

namespace {

constexpr const char kVersionText[] = "zelfosvr 4.30";

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: zelfosvr [--home DIR] [--version] [--help]\n"
          "  --home DIR   install directory; settings are read from DIR/config\n"
          "               (default: the directory of the executable)\n"
          "  --version    print the version and exit\n"
          "  --help       print this text and exit\n");
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
  if (!home.empty()) server->SetInstallDir(home);
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
