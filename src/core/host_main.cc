// zelfosvr: runs the server in the foreground until SIGTERM or SIGINT.
#include <cstdio>
#include <cstring>
#include <string>

#include "accounts/scramble.h"
#include "core/report.h"
#include "core/server.h"
#include "core/service_host.h"
#include "platform/process.h"

namespace {

constexpr const char kVersionText[] = "zelfosvr 4.30";

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: zelfosvr [--home DIR] [--check-config] [--version] [--help]\n"
          "       zelfosvr --scramble-password < password\n"
          "  --home DIR   install directory; settings are read from DIR/config\n"
          "               (default: the directory of the executable)\n"
          "  --check-config\n"
          "               load the settings, accounts and resources as a start would,\n"
          "               print the status report and exit 0 when the server could\n"
          "               start with them, 1 (with the reasons on standard error)\n"
          "               otherwise\n"
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

// --check-config: the report on standard output, the reasons a start
// would fail on standard error.
int CheckConfigOnly(const std::string& home) {
  auto* server = new WL_ZelFtpSvr();
  if (!home.empty()) server->SetInstallDir(AbsolutePath(home));
  std::string report;
  std::string reasons;
  const bool ok = CheckConfiguration(server, &report, &reasons);
  fwrite(report.data(), 1, report.size(), stdout);
  fflush(stdout);
  delete server;
  if (ok) return 0;
  fprintf(stderr, "zelfosvr: the server could not start with this configuration:\n");
  size_t from = 0;
  while (from < reasons.size()) {
    size_t end = reasons.find('\n', from);
    if (end == std::string::npos) end = reasons.size();
    fprintf(stderr, "  %.*s\n", static_cast<int>(end - from), reasons.c_str() + from);
    from = end + 1;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  bool check_config = false;
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
    if (strcmp(a, "--check-config") == 0) {
      check_config = true;
      continue;
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

  if (check_config) return CheckConfigOnly(home);

  // Before any thread starts: signals go to the waiting main thread only.
  PrepareProcessSignals();
  // The service object lives as long as the process: the power thread may
  // still use it while main returns.
  static WL_MyService service;
  auto* server = new WL_ZelFtpSvr();
  // Paths built from the install directory must be absolute.
  if (!home.empty()) server->SetInstallDir(AbsolutePath(home));
  service.Attach(server);
  if (!server->Start()) {
    service.StopServer();
    return 1;
  }
  service.MarkStarted();
  WaitForStopSignal();
  // A second signal stays blocked and pending: stop runs once.
  if (!service.StopServer() && service.power_started()) {
    // An operator's power request came first: its thread stops the server
    // and ends the process with the power action's result.
    service.WaitForPowerThread();
  }
  return 0;
}
