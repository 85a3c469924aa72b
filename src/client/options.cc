#include "client/options.h"

#include <cstdlib>
#include <cstring>

namespace {

// A decimal number made of digits only.
bool AllDigits(const std::string& t, int64_t* out) {
  if (t.empty() || t.size() > 9) return false;
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

struct CommandShape {
  const char* name;
  size_t min_args;
  size_t max_args;
};

// bbs takes "post TEXT" as its optional arguments; admin a verb and any
// number of arguments.
constexpr CommandShape kCommands[] = {
    {"ls", 0, 1},        {"get", 1, 2},   {"put", 1, 2}, {"mirror-up", 2, 2}, {"mirror-down", 2, 2},
    {"map", 1, 1},       {"unmap", 1, 1}, {"bbs", 0, 2}, {"admin", 1, 64},
};

const CommandShape* FindCommand(const std::string& name) {
  for (const CommandShape& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// "--name=value" or "--name value". Returns 1 when arg is the option (value
// taken), 0 when it is not, -1 when its value is missing.
int ValueOption(const char* name, int argc, char** argv, int* i, std::string* value) {
  const size_t n = strlen(name);
  const char* a = argv[*i];
  if (strncmp(a, name, n) != 0) return 0;
  if (a[n] == '=') {
    *value = a + n + 1;
    return 1;
  }
  if (a[n] != '\0') return 0;
  if (*i + 1 >= argc) return -1;
  *value = argv[++*i];
  return 1;
}

}  // namespace

bool ParseServerUrl(const std::string& url, WL_ServerUrl* out, std::string* error) {
  std::string rest;
  if (url.rfind("ftp://", 0) == 0) {
    out->implicit_tls = false;
    out->port = 21;
    rest = url.substr(6);
  } else if (url.rfind("ftps://", 0) == 0) {
    out->implicit_tls = true;
    out->port = 990;
    rest = url.substr(7);
  } else {
    *error = "the server URL must begin with ftp:// or ftps://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t at = rest.rfind('@');
  if (at == std::string::npos || at == 0) {
    *error = "the server URL needs a user name: ftp://USER@HOST:PORT";
    return false;
  }
  out->user = rest.substr(0, at);
  std::string hostport = rest.substr(at + 1);
  std::string port_text;
  if (!hostport.empty() && hostport[0] == '[') {
    const size_t close = hostport.find(']');
    if (close == std::string::npos) {
      *error = "unclosed bracket in the server URL";
      return false;
    }
    out->host = hostport.substr(1, close - 1);
    const std::string after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') {
        *error = "unexpected text after the IPv6 address in the server URL";
        return false;
      }
      port_text = after.substr(1);
    }
  } else {
    const size_t colon = hostport.find(':');
    if (colon != std::string::npos && hostport.find(':', colon + 1) != std::string::npos) {
      *error = "write an IPv6 address in brackets: ftp://USER@[::1]:PORT";
      return false;
    }
    out->host = hostport.substr(0, colon);
    if (colon != std::string::npos) port_text = hostport.substr(colon + 1);
  }
  if (out->host.empty() || out->host.find('/') != std::string::npos) {
    *error = "the server URL has no host";
    return false;
  }
  if (!port_text.empty()) {
    int64_t p = 0;
    if (!AllDigits(port_text, &p) || p < 1 || p > 65535) {
      *error = "bad port in the server URL: " + port_text;
      return false;
    }
    out->port = static_cast<uint16_t>(p);
  }
  return true;
}

bool ParseCommandLine(int argc, char** argv, WL_ClientOptions* o, std::string* error) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!options_done && a[0] == '-' && a[1] == '-') {
      if (a[2] == '\0') {
        options_done = true;
        continue;
      }
      std::string value;
      int r;
      if ((r = ValueOption("--url", argc, argv, &i, &o->url)) != 0 ||
          (r = ValueOption("--ca", argc, argv, &i, &o->ca_file)) != 0 ||
          (r = ValueOption("--password-file", argc, argv, &i, &o->password_file)) != 0) {
        if (r < 0) {
          *error = std::string("option ") + a + " needs a value";
          return false;
        }
        continue;
      }
      const std::string name = a;
      if (name == "--tls") o->tls = true;
      else if (name == "--insecure") o->insecure = true;
      else if (name == "--clear-login") o->clear_login = true;
      else if (name == "--econn") o->econn = true;
      else if (name == "--json") o->json = true;
      else if (name == "--long") o->long_map = true;
      else if (name == "--https") o->https = true;
      else if (name == "--delete") o->delete_extra = true;
      else if (name == "--help") o->help = true;
      else if (name == "--password") {
        *error = "the password is never taken from the command line; use ZELFO_PASSWORD or --password-file";
        return false;
      } else {
        *error = "unknown option " + name;
        return false;
      }
      continue;
    }
    if (!options_done && a[0] == '-' && a[1] == 'h' && a[2] == '\0') {
      o->help = true;
      continue;
    }
    if (o->command.empty()) {
      o->command = a;
    } else {
      o->args.emplace_back(a);
    }
  }
  if (o->help) return true;
  if (o->command.empty()) {
    *error = "no command given (try zelfo --help)";
    return false;
  }
  if (FindCommand(o->command) == nullptr) {
    *error = "unknown command " + o->command + " (try zelfo --help)";
    return false;
  }
  if (!CheckCommandArgs(*o, error)) return false;
  if (o->url.empty()) {
    const char* env = getenv("ZELFO_URL");
    if (env != nullptr) o->url = env;
  }
  if (o->url.empty()) {
    *error = "no server given: use --url or ZELFO_URL";
    return false;
  }
  if (!ParseServerUrl(o->url, &o->server, error)) return false;
  if (o->tls && o->server.implicit_tls) {
    *error = "--tls is for ftp:// URLs; ftps:// already means implicit TLS";
    return false;
  }
  return true;
}

bool CheckCommandArgs(const WL_ClientOptions& o, std::string* error) {
  const CommandShape* c = FindCommand(o.command);
  if (c == nullptr) {
    *error = "unknown command " + o.command;
    return false;
  }
  if (o.args.size() < c->min_args || o.args.size() > c->max_args) {
    *error = "wrong number of arguments for " + o.command + " (try zelfo " + o.command + " --help)";
    return false;
  }
  if (o.command == "bbs" && !o.args.empty() && (o.args[0] != "post" || o.args.size() != 2)) {
    *error = "bbs takes no arguments, or post TEXT";
    return false;
  }
  return true;
}
