// The command line of the client: options, the server URL and the command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WL_ServerUrl {
  bool implicit_tls = false;  // ftps://
  std::string user;
  std::string host;           // without brackets
  uint16_t port = 21;
};

struct WL_ClientOptions {
  std::string url;            // --url, else ZELFO_URL
  WL_ServerUrl server;
  bool tls = false;           // --tls: explicit TLS on an ftp:// URL
  bool insecure = false;
  std::string ca_file;
  std::string password_file;
  bool clear_login = false;
  bool econn = false;
  bool json = false;
  bool long_map = false;
  bool https = false;
  bool delete_extra = false;
  bool help = false;
  std::string command;
  std::vector<std::string> args;

  bool UsesTls() const { return tls || server.implicit_tls; }
};

// Parses argv (the environment supplies ZELFO_URL). False with *error set
// on a usage error. A --help request parses without a URL.
bool ParseCommandLine(int argc, char** argv, WL_ClientOptions* out, std::string* error);
// Parses ftp://USER@HOST[:PORT] and ftps://USER@HOST[:PORT].
bool ParseServerUrl(const std::string& url, WL_ServerUrl* out, std::string* error);
// Checks the count of a command's arguments; false with *error set.
bool CheckCommandArgs(const WL_ClientOptions& o, std::string* error);
