// mirror-up and mirror-down: one joint session per directory, moving only
// what differs (size or time), optionally removing what the source lacks.
#include <cinttypes>
#include <map>
#include <memory>

#include "base/format.h"
#include "client/commands.h"
#include "client/joint_session.h"
#include "client/output.h"
#include "ftp/command_protect.h"
#include "ftp/joint_protocol.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

struct LocalEntry {
  bool directory = false;
  uint64_t size = 0;
  int64_t mtime = 0;
};

struct Totals {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t unchanged = 0;
  uint64_t deleted = 0;
  uint64_t skipped = 0;
};

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A remote directory path as an absolute path of the session's tree.
std::string Absolute(const std::string& path) {
  std::string out = "/";
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string part = path.substr(i, j - i);
    if (!part.empty() && part != ".") out = Join(out, part);
    i = j + 1;
  }
  return out;
}

bool ReadLocal(const std::string& dir, std::map<std::string, LocalEntry>* out) {
  DirReader reader(dir);
  if (!reader.ok()) return false;
  DirEntry e;
  while (reader.Next(&e)) {
    if (e.kind != kKindDirectory && e.kind != kKindRegular) continue;  // links and devices stay out
    (*out)[e.name] = LocalEntry{e.kind == kKindDirectory, e.size, e.mtime};
  }
  return !reader.error();
}

void Action(const WL_ClientOptions& o, const char* what, const std::string& path, uint64_t bytes) {
  if (o.json) {
    WL_JsonObject j;
    j.Str("action", what).Str("path", path);
    if (std::string(what) == "put" || std::string(what) == "get") j.Int("bytes", static_cast<int64_t>(bytes));
    PrintJson(j);
    return;
  }
  std::string line = std::string(what) + " " + path;
  if (std::string(what) == "put" || std::string(what) == "get") line += " (" + HumanBytes(bytes) + ")";
  PrintLine(line);
}

void Summary(const WL_ClientOptions& o, const Totals& t, double seconds) {
  if (o.json) {
    PrintJson(WL_JsonObject()
                  .Str("command", o.command)
                  .Int("files", static_cast<int64_t>(t.files))
                  .Int("bytes", static_cast<int64_t>(t.bytes))
                  .Int("unchanged", static_cast<int64_t>(t.unchanged))
                  .Int("deleted", static_cast<int64_t>(t.deleted))
                  .Int("skipped", static_cast<int64_t>(t.skipped))
                  .Num("seconds", seconds));
    return;
  }
  char line[256];
  FormatText(line, sizeof(line), "%s: %" PRIu64 " files moved (%s), %" PRIu64 " unchanged, %" PRIu64
             " deleted, %.1f s", o.command.c_str(), t.files, HumanBytes(t.bytes).c_str(), t.unchanged, t.deleted, seconds);
  PrintLine(line);
}

// One joint session in the session's current directory: JKEY, the data
// connection and STOM or RETM.
class JointRun {
 public:
  explicit JointRun(WL_FtpClient& c) : c_(c) {}

  WL_Outcome Start(bool upload) {
    const uint64_t value = ClientRandom64();
    char line[48];
    // Mode 1 asks for checksums; 201 grants them.
    FormatText(line, sizeof(line), "JKEY %" PRIx64 " 1", value);
    const WL_Reply k = c_.Command(line);
    if (k.code != 200 && k.code != 201) return c_.Failure(k, "JKEY");
    const uint64_t server = strtoull(k.text.c_str(), nullptr, 16);
    WL_Reply first;
    WL_Outcome r = c_.StartData(upload ? "STOM" : "RETM", "*", upload ? kProtectWrite : kProtectRead, &data_, &first);
    if (!r.ok()) return r;
    if (first.code != 150) return c_.Failure(first, upload ? "mirror-up" : "mirror-down");
    joint_ = std::make_unique<WL_JointSession>(&data_, value, server, k.code == 201 ? 2 : 0);
    return WL_Outcome::Done();
  }
  WL_JointSession& joint() { return *joint_; }

  // EXIT and the server's verdict on the whole session.
  WL_Outcome Finish() {
    WL_Outcome r = joint_->Exit();
    if (!r.ok()) return r;
    const WL_Reply done = c_.ReadReply();
    data_.Close();
    if (done.code == 0) return c_.Failure(done, "joint transfer");
    if (done.code != 226) return WL_Outcome::Fail(kExitTransfer, "joint transfer: the server answered " + done.Brief());
    return WL_Outcome::Done();
  }

 private:
  WL_FtpClient& c_;
  WL_NetStream data_;
  std::unique_ptr<WL_JointSession> joint_;
};

WL_Outcome Cwd(WL_FtpClient& c, const std::string& path) {
  const WL_Reply r = c.Command("CWD " + path);
  if (r.code == 0 || r.code >= 400) return c.Failure(r, "cd " + path);
  return WL_Outcome::Done();
}

// Creates the remote directory path level by level (joint MDIR in each
// parent) and enters it.
WL_Outcome EnsureRemoteDir(WL_FtpClient& c, const std::string& absolute) {
  WL_Outcome r = Cwd(c, "/");
  std::string at = "/";
  size_t i = 1;
  while (r.ok() && i < absolute.size()) {
    size_t j = absolute.find('/', i);
    if (j == std::string::npos) j = absolute.size();
    const std::string part = absolute.substr(i, j - i);
    i = j + 1;
    const std::string next = Join(at, part);
    const WL_Reply w = c.Command("CWD " + next);
    if (w.code == 0) return c.Failure(w, "cd " + next);
    if (w.code >= 400) {
      JointRun run(c);
      r = run.Start(true);
      bool exists = false;
      if (r.ok()) r = run.joint().MakeDir(part, 0, &exists);
      if (r.ok()) r = run.Finish();
      if (r.ok() && !exists) r = WL_Outcome::Fail(kExitRefused, "cannot create the remote directory " + next);
      if (r.ok()) r = Cwd(c, next);
    }
    at = next;
  }
  return r;
}

WL_Outcome UploadTree(WL_FtpClient& c, const WL_ClientOptions& o, const std::string& local,
                      const std::string& remote, const std::string& shown, Totals* t) {
  WL_Outcome r = Cwd(c, remote);
  std::vector<WL_RemoteEntry> listed;
  if (r.ok()) r = ListRemote(c, "", &listed);
  if (!r.ok()) return r;
  std::map<std::string, WL_RemoteEntry> there;
  for (WL_RemoteEntry& e : listed) there[e.name] = e;
  std::map<std::string, LocalEntry> here;
  if (!ReadLocal(local, &here)) return WL_Outcome::Fail(kExitTransfer, "cannot read the directory " + local);

  std::vector<std::string> put, mkdir, remove;
  for (const auto& [name, e] : here) {
    if (!IsSafeJointName(name)) {
      PrintError("skipped (a name the server cannot take): " + Join(local, name));
      ++t->skipped;
      continue;
    }
    const auto it = there.find(name);
    const bool same_kind = it != there.end() && it->second.directory == e.directory;
    if (it != there.end() && !same_kind) remove.push_back(name);  // a file where a directory goes, or back
    if (e.directory) {
      if (!same_kind) mkdir.push_back(name);
    } else if (!same_kind || it->second.size != e.size || it->second.mtime != e.mtime) {
      put.push_back(name);
    } else {
      ++t->unchanged;
    }
  }
  if (o.delete_extra) {
    for (const auto& [name, e] : there) {
      if (here.find(name) == here.end()) remove.push_back(name);
    }
  }
  if (!put.empty() || !mkdir.empty() || !remove.empty()) {
    JointRun run(c);
    r = run.Start(true);
    for (const std::string& name : remove) {
      if (!r.ok()) break;
      bool gone = false;
      r = run.joint().Delete(name, there[name].directory, &gone);
      if (r.ok() && !gone) r = WL_Outcome::Fail(kExitTransfer, "the server could not delete " + Join(shown, name));
      if (r.ok()) {
        ++t->deleted;
        Action(o, "delete", Join(shown, name), 0);
      }
    }
    for (const std::string& name : mkdir) {
      if (!r.ok()) break;
      bool exists = false;
      r = run.joint().MakeDir(name, here[name].mtime, &exists);
      if (r.ok() && !exists) r = WL_Outcome::Fail(kExitTransfer, "the server could not create " + Join(shown, name));
      if (r.ok()) Action(o, "mkdir", Join(shown, name), 0);
    }
    for (const std::string& name : put) {
      if (!r.ok()) break;
      const LocalEntry& e = here[name];
      WL_Progress bar(name, static_cast<int64_t>(e.size), !o.json);
      uint64_t bytes = 0;
      r = run.joint().Upload(name, Join(local, name), e.mtime, &bar, &bytes);
      bar.Finish();
      if (r.ok()) {
        ++t->files;
        t->bytes += bytes;
        Action(o, "put", Join(shown, name), bytes);
      }
    }
    if (r.ok()) r = run.Finish();
    if (!r.ok()) return r;
  }
  for (const auto& [name, e] : here) {
    if (!e.directory || !IsSafeJointName(name)) continue;
    r = UploadTree(c, o, Join(local, name), Join(remote, name), Join(shown, name), t);
    if (!r.ok()) return r;
  }
  return WL_Outcome::Done();
}

WL_Outcome DownloadTree(WL_FtpClient& c, const WL_ClientOptions& o, const std::string& remote,
                        const std::string& local, const std::string& shown, Totals* t) {
  WL_Outcome r = Cwd(c, remote);
  std::vector<WL_RemoteEntry> listed;
  if (r.ok()) r = ListRemote(c, "", &listed);
  if (!r.ok()) return r;
  if (!IsDirectoryPath(local) && !MakeDirectory(local)) {
    return WL_Outcome::Fail(kExitTransfer, "cannot create the directory " + local);
  }
  std::map<std::string, LocalEntry> here;
  if (!ReadLocal(local, &here)) return WL_Outcome::Fail(kExitTransfer, "cannot read the directory " + local);

  std::vector<const WL_RemoteEntry*> get;
  for (const WL_RemoteEntry& e : listed) {
    if (!IsSafeJointName(e.name)) {
      PrintError("skipped (an unsafe name from the server): " + Join(shown, e.name));
      ++t->skipped;
      continue;
    }
    const auto it = here.find(e.name);
    const bool same_kind = it != here.end() && it->second.directory == e.directory;
    const std::string path = Join(local, e.name);
    if (it != here.end() && !same_kind) {
      if (!DeleteTree(path)) return WL_Outcome::Fail(kExitTransfer, "cannot replace " + path);
      ++t->deleted;
      Action(o, "delete", Join(shown, e.name), 0);
    }
    if (e.directory) {
      if (!same_kind && !MakeDirectory(path)) return WL_Outcome::Fail(kExitTransfer, "cannot create " + path);
    } else if (!same_kind || it->second.size != e.size || it->second.mtime != e.mtime) {
      get.push_back(&e);
    } else {
      ++t->unchanged;
    }
  }
  if (o.delete_extra) {
    std::map<std::string, bool> there;
    for (const WL_RemoteEntry& e : listed) there[e.name] = true;
    for (const auto& [name, e] : here) {
      if (there.count(name) != 0) continue;
      if (!DeleteTree(Join(local, name))) return WL_Outcome::Fail(kExitTransfer, "cannot delete " + Join(local, name));
      ++t->deleted;
      Action(o, "delete", Join(shown, name), 0);
    }
  }
  if (!get.empty()) {
    JointRun run(c);
    r = run.Start(false);
    for (const WL_RemoteEntry* e : get) {
      if (!r.ok()) break;
      WL_Progress bar(e->name, static_cast<int64_t>(e->size), !o.json);
      uint64_t bytes = 0;
      r = run.joint().Download(e->name, Join(local, e->name), e->mtime, &bar, &bytes);
      bar.Finish();
      if (r.ok()) {
        ++t->files;
        t->bytes += bytes;
        Action(o, "get", Join(shown, e->name), bytes);
      }
    }
    if (r.ok()) r = run.Finish();
    if (!r.ok()) return r;
  }
  for (const WL_RemoteEntry& e : listed) {
    if (!e.directory || !IsSafeJointName(e.name)) continue;
    r = DownloadTree(c, o, Join(remote, e.name), Join(local, e.name), Join(shown, e.name), t);
    if (!r.ok()) return r;
  }
  return WL_Outcome::Done();
}

WL_Outcome Finished(const WL_ClientOptions& o, WL_Outcome r, const Totals& t, uint64_t start_ms) {
  if (!r.ok()) return r;
  Summary(o, t, static_cast<double>(GetTickCount64() - start_ms) / 1000.0);
  if (t.skipped > 0) {
    return WL_Outcome::Fail(kExitTransfer, std::to_string(t.skipped) + " names were skipped");
  }
  return WL_Outcome::Done();
}

}  // namespace

WL_Outcome RunMirrorUp(WL_FtpClient& c, const WL_ClientOptions& o) {
  const std::string& local = o.args[0];
  if (!IsDirectoryPath(local)) return WL_Outcome::Fail(kExitUsage, "mirror-up: no such directory " + local);
  const uint64_t start = GetTickCount64();
  const std::string remote = Absolute(o.args[1]);
  Totals t;
  WL_Outcome r = EnsureRemoteDir(c, remote);
  if (r.ok()) r = UploadTree(c, o, local, remote, "", &t);
  return Finished(o, r, t, start);
}

WL_Outcome RunMirrorDown(WL_FtpClient& c, const WL_ClientOptions& o) {
  const uint64_t start = GetTickCount64();
  Totals t;
  WL_Outcome r = DownloadTree(c, o, Absolute(o.args[0]), o.args[1], "", &t);
  return Finished(o, r, t, start);
}
