// ls, get and put.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "base/format.h"
#include "client/commands.h"
#include "client/output.h"
#include "ftp/arg_parsers.h"
#include "ftp/command_protect.h"
#include "platform/fs.h"

namespace {

constexpr int kDataTimeout = 300;
constexpr size_t kBlock = 262144;

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// "150 ..." opened the data connection; anything else refused.
bool Opened(const WL_Reply& r) { return r.code >= 100 && r.code < 200; }

// The final reply of a transfer: "226 ...: N" with N the bytes moved.
WL_Outcome CheckFinal(WL_FtpClient& c, const std::string& what, uint64_t moved) {
  const WL_Reply r = c.ReadReply();
  if (r.code == 0) return WL_Outcome::Fail(kExitConnection, what + ": the connection to the server was lost");
  if (r.code != 226) return WL_Outcome::Fail(kExitTransfer, what + ": the server answered " + r.Brief());
  const size_t colon = r.text.rfind(':');
  if (colon != std::string::npos && strtoull(r.text.c_str() + colon + 1, nullptr, 10) != moved) {
    return WL_Outcome::Fail(kExitTransfer, what + ": the server counted other bytes: " + r.Brief());
  }
  return WL_Outcome::Done();
}

void Report(const WL_ClientOptions& o, const char* verb, const std::string& from, const std::string& to,
            uint64_t bytes, double seconds) {
  if (o.json) {
    PrintJson(WL_JsonObject().Str("command", verb).Str("from", from).Str("to", to).Int("bytes", static_cast<int64_t>(bytes)).Num("seconds", seconds));
    return;
  }
  char rate[64] = "";
  if (seconds > 0.001) FormatText(rate, sizeof(rate), ", %s/s", HumanBytes(static_cast<uint64_t>(bytes / seconds)).c_str());
  char line[64];
  FormatText(line, sizeof(line), " (%" PRIu64 " bytes in %.1f s", bytes, seconds);
  PrintLine(std::string(verb) + " " + from + " -> " + to + line + rate + ")");
}

}  // namespace

bool CommandNeedsBackup(const std::string& command) {
  return command == "put" || command == "mirror-up" || command == "mirror-down";
}

WL_Outcome ListRemote(WL_FtpClient& c, const std::string& path, std::vector<WL_RemoteEntry>* out) {
  out->clear();
  WL_NetStream data;
  WL_Reply first;
  WL_Outcome r = c.StartData("LIST", path, 0, &data, &first);
  if (!r.ok()) return r;
  if (!Opened(first)) return c.Failure(first, "ls " + path);
  std::string text;
  char block[65536];
  long n;
  while ((n = data.RecvSome(block, sizeof(block), kDataTimeout)) > 0) text.append(block, static_cast<size_t>(n));
  data.Close();
  if (n < 0) return WL_Outcome::Fail(kExitTransfer, "ls " + path + ": the listing was cut off");
  const WL_Reply done = c.ReadReply();
  if (done.code == 0) return c.Failure(done, "ls " + path);
  if (done.code != 226) return WL_Outcome::Fail(kExitTransfer, "ls " + path + ": the server answered " + done.Brief());
  // "size kind time |name", numbers in hex, kind 0 for a directory.
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    const size_t bar = line.find('|');
    int64_t f[3] = {};
    if (bar == std::string::npos || ScanFields(line.c_str(), "xdx", f) < 3) continue;
    WL_RemoteEntry e;
    e.name = line.substr(bar + 1);
    e.directory = f[1] == 0;
    e.size = static_cast<uint64_t>(f[0]);
    e.mtime = f[2];
    out->push_back(std::move(e));
  }
  std::sort(out->begin(), out->end(), [](const WL_RemoteEntry& a, const WL_RemoteEntry& b) { return a.name < b.name; });
  return WL_Outcome::Done();
}

WL_Outcome RunLs(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string path = o.args.empty() ? std::string() : o.args[0];
  std::vector<WL_RemoteEntry> entries;
  WL_Outcome r = ListRemote(c, path, &entries);
  if (!r.ok()) return r;
  for (const WL_RemoteEntry& e : entries) {
    if (o.json) {
      WL_JsonObject j;
      j.Str("name", e.name).Str("type", e.directory ? "dir" : "file");
      if (!e.directory) j.Int("size", static_cast<int64_t>(e.size));
      PrintJson(j.Int("mtime", e.mtime));
      continue;
    }
    char line[96];
    if (e.directory) {
      FormatText(line, sizeof(line), "d %14s  %s  ", "-", TimeText(e.mtime).c_str());
    } else {
      FormatText(line, sizeof(line), "- %14" PRIu64 "  %s  ", e.size, TimeText(e.mtime).c_str());
    }
    PrintLine(line + e.name + (e.directory ? "/" : ""));
  }
  return WL_Outcome::Done();
}

WL_Outcome RunGet(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string& remote = o.args[0];
  std::string local = o.args.size() > 1 ? o.args[1] : BaseName(remote);
  if (IsDirectoryPath(local)) {
    local += '/';
    local += BaseName(remote);
  }
  // SIZE tells a missing file before anything is opened, and feeds the bar.
  const WL_Reply size = c.Command("SIZE " + remote);
  if (size.code == 0 || size.code >= 400) return c.Failure(size, "get " + remote);
  const int64_t total = strtoll(size.text.c_str(), nullptr, 10);

  std::string temp;
  FILE* file = CreateTempBeside(local, &temp);
  if (file == nullptr) return WL_Outcome::Fail(kExitTransfer, "get: cannot write beside " + local);
  WL_NetStream data;
  WL_Reply first;
  WL_Outcome r = c.StartData("RETR", remote, kProtectRead, &data, &first);
  if (r.ok() && !Opened(first)) r = c.Failure(first, "get " + remote);
  uint64_t got = 0;
  WL_Progress bar(BaseName(remote), total, !o.json);
  if (r.ok()) {
    std::vector<char> block(kBlock);
    long n;
    while ((n = data.RecvSome(block.data(), block.size(), kDataTimeout)) > 0) {
      if (WriteFile(file, block.data(), static_cast<size_t>(n)) != static_cast<size_t>(n)) {
        r = WL_Outcome::Fail(kExitTransfer, "get: write error in " + local);
        break;
      }
      got += static_cast<uint64_t>(n);
      bar.Add(static_cast<uint64_t>(n));
    }
    data.Close();
    if (r.ok() && n < 0) r = WL_Outcome::Fail(kExitTransfer, "get " + remote + ": the data connection failed");
    if (r.ok()) r = CheckFinal(c, "get " + remote, got);
  }
  bar.Finish();
  const bool closed = CloseFileChecked(file);
  if (r.ok() && !closed) r = WL_Outcome::Fail(kExitTransfer, "get: write error in " + local);
  if (r.ok() && !ReplaceFile(temp, local)) r = WL_Outcome::Fail(kExitTransfer, "get: cannot replace " + local);
  if (!r.ok()) {
    RemoveFile(temp);
    return r;
  }
  Report(o, "get", remote, local, got, bar.Seconds());
  return WL_Outcome::Done();
}

WL_Outcome RunPut(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string& local = o.args[0];
  const std::string remote = o.args.size() > 1 ? o.args[1] : BaseName(local);
  uint64_t total = 0;
  if (!RegularFileSize(local, &total)) return WL_Outcome::Fail(kExitUsage, "put: no such file " + local);
  FILE* file = OpenFile(local, "rb");
  if (file == nullptr) return WL_Outcome::Fail(kExitUsage, "put: cannot read " + local);
  WL_NetStream data;
  WL_Reply first;
  WL_Outcome r = c.StartData("STOR", remote, kProtectWrite, &data, &first);
  if (r.ok() && !Opened(first)) r = c.Failure(first, "put " + remote);
  uint64_t sent = 0;
  WL_Progress bar(BaseName(local), static_cast<int64_t>(total), !o.json);
  bool read_failed = false;
  if (r.ok()) {
    std::vector<char> block(kBlock);
    for (;;) {
      const size_t n = ReadBytes(file, block.data(), block.size());
      if (n == 0) {
        if (!AtEnd(file)) {
          read_failed = true;
          r = WL_Outcome::Fail(kExitTransfer, "put: read error in " + local);
        }
        break;
      }
      if (!data.SendAll(block.data(), n, kDataTimeout)) {
        r = WL_Outcome::Fail(kExitTransfer, "put " + remote + ": the data connection failed");
        break;
      }
      sent += n;
      bar.Add(n);
    }
    data.Close();
    if (r.ok()) {
      r = CheckFinal(c, "put " + remote, sent);
    } else {
      c.ReadReply();
      // The data connection ended cleanly, so the server stored a cut file
      // as if it were whole: remove it rather than leave it looking done.
      if (read_failed) c.Protected("DELE", remote, kProtectChange);
    }
  }
  bar.Finish();
  CloseFile(file);
  if (!r.ok()) return r;
  Report(o, "put", local, remote, sent, bar.Seconds());
  return WL_Outcome::Done();
}
