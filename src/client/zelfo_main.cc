// zelfo: the command-line client of the Zelfo file server.
#include <cstdio>
#include <string>

#include <openssl/crypto.h>

#include "client/commands.h"
#include "client/ftp_client.h"
#include "client/help.h"
#include "client/options.h"
#include "client/output.h"
#include "client/password.h"

namespace {

using Runner = WL_Outcome (*)(WL_FtpClient&, const WL_ClientOptions&);

Runner RunnerFor(const std::string& command) {
  static const struct {
    const char* name;
    Runner run;
  } kRunners[] = {{"ls", RunLs},           {"get", RunGet},     {"put", RunPut},
                  {"mirror-up", RunMirrorUp}, {"mirror-down", RunMirrorDown}, {"map", RunMap},
                  {"unmap", RunUnmap},     {"bbs", RunBbs},     {"admin", RunAdmin}};
  for (const auto& r : kRunners) {
    if (command == r.name) return r.run;
  }
  return nullptr;
}

int Finish(const WL_ClientOptions& o, const WL_Outcome& r) {
  if (!r.ok()) {
    PrintError(r.message);
    if (o.json) PrintJson(WL_JsonObject().Str("error", r.message).Int("exit", r.code));
  }
  return r.code;
}

}  // namespace

int main(int argc, char** argv) {
  WL_ClientOptions o;
  std::string error;
  if (!ParseCommandLine(argc, argv, &o, &error)) {
    PrintError(error);
    return kExitUsage;
  }
  if (o.help) {
    const std::string text = HelpText(o.command);
    if (text.empty()) {
      PrintError("unknown command " + o.command);
      return kExitUsage;
    }
    fputs(text.c_str(), stdout);
    return kExitDone;
  }
  std::string password;
  WL_Outcome r = ReadPassword(o.password_file, &password);
  if (!r.ok()) return Finish(o, r);
  WL_FtpClient client(o);
  r = client.Open(password, CommandNeedsBackup(o.command));
  OPENSSL_cleanse(password.data(), password.size());
  if (r.ok()) r = RunnerFor(o.command)(client, o);
  if (r.code != kExitConnection) client.Quit();
  return Finish(o, r);
}
