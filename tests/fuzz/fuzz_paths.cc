// Fuzz target: the virtual path model. Input lines are CWD arguments run in
// order, then one argument that goes through ResolveFilePath and the MKD/RMD
// forms. Property: every local path produced lies inside a resource root the
// account reaches or inside the backup root, textually and after realpath
// over the fixture tree.
#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/server.h"
#include "ftp/command_table.h"
#include "ftp/handlers.h"
#include "ftp/session.h"
#include "ftp/virtual_path.h"

namespace {

struct Fixture {
  std::string root;
  std::vector<std::string> roots;  // resource roots the account reaches, and the backup root
  WL_ZelFtpSvr* svr = nullptr;
  int peer = -1;

  Fixture() {
    char tmpl[] = "/tmp/zelfo-fuzz-paths-XXXXXX";
    root = mkdtemp(tmpl);
    for (const char* d : {"/config", "/share", "/share/sub", "/share/sub/deep", "/low", "/high", "/backup",
                          "/backup/bdir", "/outside", "/share-private"}) {
      mkdir((root + d).c_str(), 0755);
    }
    FILE* f = fopen((root + "/config/myshare.txt").c_str(), "w");
    fprintf(f, "1*share*%s/share\n0*low*%s/low\n9*high*%s/high\n", root.c_str(), root.c_str(), root.c_str());
    fclose(f);
    svr = new WL_ZelFtpSvr();
    svr->SetInstallDir(root);
    svr->resources.LoadResources(root + "/config/myshare.txt");
    svr->AllocateSessions();
    roots = {Real(root + "/share"), Real(root + "/low"), Real(root + "/backup")};
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    WL_FtpSession& s = *svr->Session(0, 0);
    s.ctrl_socket.Set(sv[0]);
    peer = sv[1];
    SetNonBlocking(peer);
  }

  static std::string Real(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) != nullptr ? std::string(buf) : std::string();
  }

  void Drain() {
    char buf[8192];
    while (read(peer, buf, sizeof(buf)) > 0) {
    }
  }

  // The property for one local path.
  void Check(const std::string& local, bool backup) {
    const std::string backup_root = root + "/backup";
    bool textual = false;
    if (backup) {
      textual = PathWithin(local, backup_root);
    } else {
      for (const std::string& r : {root + "/share", root + "/low"}) textual = textual || PathWithin(local, r);
    }
    if (!textual) __builtin_trap();
    // Resolve the deepest existing ancestor and check it as well.
    std::string p = local;
    std::string real;
    while (!p.empty() && (real = Real(p)).empty()) {
      const size_t slash = p.rfind('/');
      if (slash == std::string::npos || slash == 0) break;
      p.resize(slash);
    }
    if (real.empty()) return;
    bool inside = false;
    for (const std::string& r : roots) inside = inside || PathWithin(real, r);
    // An ancestor may be the tree above the roots only when the path itself
    // does not exist yet (a name under a root that is being made).
    if (!inside && p == local) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fx;
  if (size < 1 || size > 6000) return 0;
  WL_FtpSession& s = *fx.svr->Session(0, 0);
  s.close_flag.store(false);
  s.logged_in = 1;
  s.account_index = 8;
  s.access_level = 5;
  s.backup_mode = data[0] & 1;
  s.backup_root.Assign(s.backup_mode ? fx.root + "/backup" : "");
  s.current_path.Assign("/");
  fx.svr->set.Extend_security = (data[0] >> 1) & 1;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  WL_CommandHandler cwd = HandlerFor(kCmdCwd);
  for (size_t i = 0; i + 1 < lines.size() && i < 8; ++i) {
    if (lines[i].find('\0') != std::string::npos) continue;
    cwd(fx.svr, 0, 0, lines[i].c_str());
    fx.Drain();
    s.close_flag.store(false);
    std::string dir;
    if (CurrentLocalDir(fx.svr, s, &dir)) fx.Check(dir, s.backup_mode);
    if (s.current_path.size() > kMaxVirtualPath) __builtin_trap();
  }
  const std::string& last = lines.back();
  std::string local;
  if (ResolveFilePath(fx.svr, s, last, &local)) fx.Check(local, s.backup_mode);
  std::string cwd_dir;
  if (s.backup_mode && CurrentLocalDir(fx.svr, s, &cwd_dir)) {
    std::string target;
    if (MkdRmdTarget(s, last, cwd_dir, &target) >= 0 && !IsProtectedRoot(fx.svr, s, target) &&
        IsSafeVirtualPath(last)) {
      fx.Check(target, true);
    }
  }
  return 0;
}
