// The virtual path model: what a client sees, and how it maps to local
// paths on the host.
//
// In normal mode the first component of a virtual path names a resource and
// the rest lies inside that resource's directory; in backup mode the whole
// path lies under the account's backup root. Every path passes the safety
// checks here before the file system sees it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class WL_ZelFtpSvr;
class WL_FtpSession;

// Longest current path, in bytes.
constexpr size_t kMaxVirtualPath = 1280;

// Safe when empty; unsafe with "../", "/..", "//", a leading "..", or an
// unsafe character (" * : < > ? \ | and control bytes).
bool IsSafeVirtualPath(std::string_view path);
// IsSafeLocalPath without its tests on the last byte ("dir/" and "dir/."
// pass); at least 2 bytes.
bool IsSafeLocalDir(std::string_view path);
// Whether path equals root or lies below it: the prefix must end at "/" or
// at the end of path ("/srv/a" does not hold "/srv/ab").
bool PathWithin(std::string_view path, std::string_view root);

// Splits an absolute virtual path: -1 empty, -2 not absolute or unsafe, 0
// the root, 1 a bare resource name, 2 a resource and a rest.
int SplitVirtualPath(std::string_view path, std::string* name, std::string* rest);
// Folds every "//" into "/" until none is left.
std::string FoldSlashes(std::string_view path);
// Cuts one level off a virtual path ("/a/b" -> "/a", "/a" -> "/").
std::string CutOneLevel(std::string_view path);

// The absolute virtual path of a client's path argument: "." and "./" name
// the current directory cwd, "." components are dropped, and a relative path
// (a name or "a/b") is joined to cwd. False for an unsafe form: a ".."
// component, "//", an unsafe character, or a result longer than
// kMaxVirtualPath.
bool AbsoluteVirtualPath(std::string_view cwd, std::string_view arg, std::string* out);

// The local path of the session's current directory. False at the normal
// mode root (it has no local directory) or for an unsafe result.
bool CurrentLocalDir(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string* out);
// The local path of a file argument: a path relative to the current
// directory or an absolute virtual path (AbsoluteVirtualPath's forms).
bool ResolveFilePath(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string_view arg, std::string* out);
// The extend-security check (when Extend_security is on): the local path
// lies under the backup root, or under a resource the account reaches. A
// refusal counts and leaves code in the session's security code.
bool ExtendSecurityCheck(WL_ZelFtpSvr* svr, WL_FtpSession& s, std::string_view local, uint16_t code);
// The local path of MKD's and RMD's directory argument: "./name" (0), a
// plain name (1) in the current local directory cwd, or an absolute path
// under the backup root (2). -1 for anything else, including absolute
// forms with a "." component ("/./", "/a/."), which could name the root.
// A relative path with directories ("a/b") counts as the absolute path it
// names. virt, when given, receives the virtual path of the target.
int MkdRmdTarget(const WL_FtpSession& s, std::string_view dir, const std::string& cwd, std::string* local,
                 std::string* virt = nullptr);
// Whether a local path is the backup root or the root of any resource: such
// a path is never removed or replaced.
bool IsProtectedRoot(WL_ZelFtpSvr* svr, const WL_FtpSession& s, std::string_view local);
