// How a client command ends: the exit status and the one line that explains
// a failure.
#pragma once

#include <string>

enum WL_ExitCode : int {
  kExitDone = 0,        // everything done
  kExitRefused = 1,     // the server refused (login, a command, a path)
  kExitUsage = 2,       // the command line is wrong
  kExitConnection = 3,  // no connection, TLS failed, or the connection dropped
  kExitTransfer = 4,    // a transfer failed or a checksum did not match
};

struct WL_Outcome {
  int code = kExitDone;
  std::string message;  // empty when done

  bool ok() const { return code == kExitDone; }
  static WL_Outcome Done() { return {}; }
  static WL_Outcome Fail(int code, std::string message) { return {code, std::move(message)}; }
};
