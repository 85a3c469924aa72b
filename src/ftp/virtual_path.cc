#include "ftp/virtual_path.h"

#include <cctype>

#include "accounts/resource.h"
#include "base/file_util.h"
#include "base/local_path.h"
#include "core/server.h"
#include "ftp/session.h"

namespace {

bool HasUnsafeChar(std::string_view s) {
  for (char c : s) {
    if (IsUnsafePathChar(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

bool HasClimbOrDouble(std::string_view s) {
  return s.find("../") != std::string_view::npos || s.find("/..") != std::string_view::npos ||
         s.find("//") != std::string_view::npos;
}

// Whether an absolute virtual path holds a "." component ("/./", "/a/."):
// such a form could name the backup root itself.
bool HasDotComponent(std::string_view p) {
  size_t i = 0;
  while (i < p.size()) {
    const size_t j = p.find('/', i);
    const std::string_view part = p.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i);
    if (part == ".") return true;
    if (j == std::string_view::npos) break;
    i = j + 1;
  }
  return false;
}

void DropOneTrailingSlash(std::string* s) {
  if (!s->empty() && s->back() == '/') s->pop_back();
}

}  // namespace

bool IsSafeVirtualPath(std::string_view p) {
  if (p.empty()) return true;
  if (HasClimbOrDouble(p) || p.substr(0, 2) == "..") return false;
  return !HasUnsafeChar(p);
}

bool IsSafeLocalDir(std::string_view p) {
  if (p.size() < 2 || p[0] != '/') return false;
  return !HasClimbOrDouble(p) && !HasUnsafeChar(p);
}

bool PathWithin(std::string_view path, std::string_view root) {
  if (root.empty() || path.size() < root.size() || path.substr(0, root.size()) != root) return false;
  return path.size() == root.size() || path[root.size()] == '/' || root.back() == '/';
}

std::string FoldSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

int SplitVirtualPath(std::string_view path, std::string* name, std::string* rest) {
  name->clear();
  rest->clear();
  if (path.empty()) return -1;
  if (path[0] != '/') return -2;
  const std::string folded = FoldSlashes(path);
  if (!IsSafeVirtualPath(folded)) return -2;
  std::string_view v(folded);
  v.remove_prefix(1);
  if (v.empty()) return 0;
  const size_t slash = v.find('/');
  std::string_view first = v.substr(0, slash);
  if (HasUnsafeChar(first) || first == "." || first == "..") return -2;
  *name = std::string(first);
  if (slash == std::string_view::npos) return 1;
  v.remove_prefix(slash);
  while (!v.empty() && v.front() == '/') v.remove_prefix(1);
  if (v.empty()) return 1;
  std::string r(v);
  DropOneTrailingSlash(&r);
  if (r.empty()) return 1;
  if (!IsSafeVirtualPath(r)) return -2;
  *rest = std::move(r);
  return 2;
}

std::string CutOneLevel(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

bool CurrentLocalDir(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string* out) {
  out->clear();
  std::string local;
  if (s.backup_mode) {
    local = std::string(s.backup_root.view()) + std::string(s.current_path.view());
  } else {
    std::string name, rest;
    const int kind = SplitVirtualPath(s.current_path.view(), &name, &rest);
    if (kind <= 0) return false;  // the root has no local directory
    std::string root;
    if (!svr->resources.ResolveResource(name, s.access_level, &root)) return false;
    local = rest.empty() ? root : root + "/" + rest;
  }
  local = FoldSlashes(local);
  DropOneTrailingSlash(&local);
  if (!IsSafeLocalPath(local)) return false;
  *out = std::move(local);
  return true;
}

bool AbsoluteVirtualPath(std::string_view cwd, std::string_view arg, std::string* out) {
  out->clear();
  while (!arg.empty() && isspace(static_cast<unsigned char>(arg.front()))) arg.remove_prefix(1);
  if (!IsSafeVirtualPath(arg)) return false;
  std::string joined;
  if (arg.empty() || arg[0] != '/') {
    joined.append(cwd);
    joined.push_back('/');
  }
  joined.append(arg);
  // Keep every component but the empty and "." ones.
  std::string result;
  result.reserve(joined.size() + 1);
  size_t i = 0;
  while (i <= joined.size()) {
    size_t j = joined.find('/', i);
    if (j == std::string::npos) j = joined.size();
    const size_t len = j - i;
    const size_t from = i;
    i = j + 1;
    if (len == 0 || (len == 1 && joined[from] == '.')) continue;
    if (len == 2 && joined[from] == '.' && joined[from + 1] == '.') return false;
    result.push_back('/');
    result.insert(result.size(), joined, from, len);
  }
  if (result.empty()) result.push_back('/');
  if (result.size() > kMaxVirtualPath || !IsSafeVirtualPath(result)) return false;
  *out = std::move(result);
  return true;
}

bool ResolveFilePath(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string_view arg, std::string* out) {
  out->clear();
  while (!arg.empty() && isspace(static_cast<unsigned char>(arg.front()))) arg.remove_prefix(1);
  std::string virt;
  if (arg.empty() || !AbsoluteVirtualPath(s.current_path.view(), arg, &virt)) return false;
  std::string local;
  if (s.backup_mode) {
    local = FoldSlashes(std::string(s.backup_root.view()) + virt);
  } else {
    std::string name, rest, root;
    if (SplitVirtualPath(virt, &name, &rest) != 2) return false;  // the root and the shares are no files
    if (!svr->resources.ResolveResource(name, s.access_level, &root)) return false;
    local = FoldSlashes(root + "/" + rest);
  }
  if (local.empty() || !IsSafeLocalPath(local)) return false;
  *out = std::move(local);
  return true;
}

bool ExtendSecurityCheck(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view local, uint16_t code) {
  if (!svr->set.Extend_security || local.empty()) return true;
  bool ok = false;
  if (s.logged_in) {
    if (s.backup_mode) {
      ok = PathWithin(local, s.backup_root.view());
    } else {
      for (const WL_Resource& r : svr->resources.entries()) {
        if (r.level <= s.access_level && PathWithin(local, r.path)) {
          ok = true;
          break;
        }
      }
    }
  }
  if (!ok) {
    svr->extend_security_count.fetch_add(1, std::memory_order_relaxed);
    s.security_code = code;
  }
  return ok;
}

bool IsProtectedRoot(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string_view local) {
  std::string folded = FoldSlashes(local);
  while (folded.size() > 1 && folded.back() == '/') folded.pop_back();
  if (!s.backup_root.empty() && folded == s.backup_root.view()) return true;
  for (const WL_Resource& r : svr->resources.entries()) {
    if (folded == r.path) return true;
  }
  return false;
}

int MkdRmdTarget(const WL_FtpSession& s, std::string_view dir, const std::string& cwd, std::string* local,
                 std::string* virt) {
  const std::string_view here = s.current_path.view();
  auto child = [&](std::string_view name) {
    if (virt != nullptr) *virt = std::string(here) + (here.back() == '/' ? "" : "/") + std::string(name);
  };
  if (dir.rfind("./", 0) == 0 && dir.find('/', 2) == std::string_view::npos) {
    dir.remove_prefix(2);
    while (!dir.empty() && isspace(static_cast<unsigned char>(dir.front()))) dir.remove_prefix(1);
    if (!IsSafeName(dir)) return -1;
    *local = cwd + "/" + std::string(dir);
    child(dir);
    return 0;
  }
  // A path with directories, relative or absolute, becomes the absolute
  // virtual path it names (with "." components dropped).
  std::string absolute;
  if (dir.find('/') != std::string_view::npos) {
    if (!AbsoluteVirtualPath(here, dir, &absolute)) return -1;
    dir = absolute;
  }
  if (!dir.empty() && dir[0] == '/') {
    if (!IsSafeVirtualPath(dir) || dir == "/" || dir == "/." || HasDotComponent(dir)) return -1;
    *local = std::string(s.backup_root.view()) + std::string(dir);
    if (virt != nullptr) *virt = std::string(dir);
    return 2;
  }
  if (!IsSafeName(dir)) return -1;
  *local = cwd + "/" + std::string(dir);
  child(dir);
  return 1;
}

