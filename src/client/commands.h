// The client's commands. Each runs on an open, logged-in session and
// prints its results.
#pragma once

#include <string>
#include <vector>

#include "client/ftp_client.h"
#include "client/options.h"
#include "client/outcome.h"

// One entry of a remote directory (the simple listing format).
struct WL_RemoteEntry {
  std::string name;
  bool directory = false;
  uint64_t size = 0;
  int64_t mtime = 0;
};

// Lists a remote directory (path empty: the current one).
WL_Outcome ListRemote(WL_FtpClient& c, const std::string& path, std::vector<WL_RemoteEntry>* out);

// Whether the session logs in to the account's backup tree: put and
// mirror-up write, and the server accepts uploads only there; mirror-down
// reads the same tree back.
bool CommandNeedsBackup(const std::string& command);

WL_Outcome RunLs(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunGet(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunPut(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunMirrorUp(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunMirrorDown(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunMap(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunUnmap(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunBbs(WL_FtpClient& c, const WL_ClientOptions& o);
WL_Outcome RunAdmin(WL_FtpClient& c, const WL_ClientOptions& o);
