// map, unmap, bbs and admin: commands answered on the control connection.
#include <cctype>
#include <cstdlib>

#include "client/commands.h"
#include "client/output.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"

namespace {

// The lines of a reply without their "NNN-" or "NNN " heads.
std::vector<std::string> Bodies(const WL_Reply& r) {
  std::vector<std::string> out;
  for (const std::string& line : r.lines) {
    const bool headed = line.size() >= 4 && isdigit(static_cast<unsigned char>(line[0])) &&
                        (line[3] == '-' || line[3] == ' ');
    out.push_back(headed ? line.substr(4) : line);
  }
  return out;
}

// The kind an operator verb is signed with when the session signs.
uint32_t KindOfVerb(const std::string& verb) {
  static const struct {
    const char* verb;
    uint32_t kind;
  } kKinds[] = {{"RETR", kProtectRead},  {"RETM", kProtectRead},  {"CGET", kProtectRead},  {"STOR", kProtectWrite},
                {"APPE", kProtectWrite}, {"STOU", kProtectWrite}, {"STOM", kProtectWrite}, {"CPUT", kProtectWrite},
                {"DELE", kProtectChange}, {"MKD", kProtectChange}, {"RMD", kProtectChange}, {"RNAM", kProtectChange},
                {"ADIR", kProtectChange}, {"MAPF", kProtectMap},  {"MAPS", kProtectMap},  {"LMPF", kProtectMap},
                {"RCPY", kProtectCopy},  {"SHUT", kProtectPower}};
  for (const auto& k : kKinds) {
    if (verb == k.verb) return k.kind;
  }
  return 0;
}

// The path of a mapped URL: what follows "scheme://host:port/", or the
// text itself.
std::string MappedPath(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url[0] == '/' ? url.substr(1) : url;
  const size_t slash = url.find('/', scheme + 3);
  return slash == std::string::npos ? std::string() : url.substr(slash + 1);
}

}  // namespace

WL_Outcome RunMap(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string& remote = o.args[0];
  const WL_Reply m = c.Protected(o.long_map ? "LMPF" : "MAPF", remote, kProtectMap);
  if (m.code != 200) return c.Failure(m, "map " + remote);
  // MAPS-style replies carry a second URL after "|"; the first is the file.
  const std::string path = m.text.substr(0, m.text.find('|'));
  // HTTP answers the stream port: 211 and the HTTPS port when the login
  // asked for it and the server offers it.
  const WL_Reply h = c.Command("HTTP");
  int64_t f[2] = {};
  if ((h.code != 200 && h.code != 211) || ScanFields(h.text.c_str(), "dd", f) < 2) return c.Failure(h, "HTTP");
  const bool https = h.code == 211 && f[1] == 1;
  const std::string host = o.server.host.find(':') != std::string::npos ? "[" + o.server.host + "]" : o.server.host;
  const std::string url = std::string(https ? "https" : "http") + "://" + host + ":" + std::to_string(f[0]) + "/" + path;
  if (o.json) {
    PrintJson(WL_JsonObject().Str("command", "map").Str("path", remote).Str("url", url).Bool("long", o.long_map));
  } else {
    PrintLine(url);
  }
  return WL_Outcome::Done();
}

WL_Outcome RunUnmap(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string& what = o.args[0];
  if (o.long_map) {
    // Long maps go by the mapped file's path ("*": all of them).
    const WL_Reply u = c.Command("UMAP " + what);
    if (u.code != 200) return c.Failure(u, "unmap " + what);
    const size_t open = u.text.find('[');
    const long removed = open == std::string::npos ? 0 : strtol(u.text.c_str() + open + 1, nullptr, 10);
    if (o.json) {
      PrintJson(WL_JsonObject().Str("command", "unmap").Str("path", what).Int("removed", removed));
    } else {
      PrintLine("removed " + std::to_string(removed) + " long map" + (removed == 1 ? "" : "s"));
    }
    return WL_Outcome::Done();
  }
  const WL_Reply r = c.Command("RMAP " + MappedPath(what));
  // "200 remove map file N": the slot, or a negative code when no map
  // has that URL.
  const size_t last = r.text.rfind(' ');
  const long slot = last == std::string::npos ? -1 : strtol(r.text.c_str() + last + 1, nullptr, 10);
  if (r.code != 200) return c.Failure(r, "unmap");
  if (slot < 0) return WL_Outcome::Fail(kExitRefused, "unmap: no map has this URL (" + r.Brief() + ")");
  if (o.json) {
    PrintJson(WL_JsonObject().Str("command", "unmap").Str("url", what).Int("slot", slot));
  } else {
    PrintLine("unmapped " + what);
  }
  return WL_Outcome::Done();
}

WL_Outcome RunBbs(WL_FtpClient& c, const WL_ClientOptions& o) {
  if (!o.args.empty()) {
    const WL_Reply r = c.Command("ABBS " + o.args[1]);
    if (r.code != 200 || r.text != "command ok") return c.Failure(r, "bbs post");
    if (o.json) {
      PrintJson(WL_JsonObject().Str("command", "bbs post").Str("text", o.args[1]).Bool("posted", true));
    } else {
      PrintLine("posted");
    }
    return WL_Outcome::Done();
  }
  const WL_Reply r = c.Command("GBBS");
  if (r.code != 200) return c.Failure(r, "bbs");
  // Operator messages, a "========" line, everybody else's; "." closes.
  bool admin_ring = true;
  const std::vector<std::string> lines = Bodies(r);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] == "========") {
      admin_ring = false;
      if (!o.json) PrintLine("--------");
      continue;
    }
    if (o.json) {
      PrintJson(WL_JsonObject().Str("from", admin_ring ? "admin" : "user").Str("text", lines[i]));
    } else {
      PrintLine(lines[i]);
    }
  }
  return WL_Outcome::Done();
}

WL_Outcome RunAdmin(WL_FtpClient& c, const WL_ClientOptions& o) {
  std::string verb = o.args[0];
  for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  std::string arg;
  for (size_t i = 1; i < o.args.size(); ++i) arg += (i > 1 ? " " : "") + o.args[i];
  const WL_Reply r = c.Protected(verb, arg, KindOfVerb(verb));
  if (r.code == 0) return c.Failure(r, verb);
  const std::vector<std::string> lines = Bodies(r);
  // A refusal is the one line on standard error (and the JSON object).
  if (o.json) {
    PrintJson(WL_JsonObject().Str("verb", verb).Int("code", r.code).Strs("lines", lines.data(), lines.size()));
  } else if (r.code < 400) {
    for (const std::string& line : lines) PrintLine(line);
  }
  if (r.code >= 400) return WL_Outcome::Fail(kExitRefused, verb + ": the server answered " + r.Brief());
  return WL_Outcome::Done();
}
