#include "accounts/resource.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/file_util.h"
#include "base/format.h"
#include "base/local_path.h"
#include "base/text_scan.h"
#include "platform/clock.h"
#include "platform/fs.h"

bool ParseResourceLine(const char* line, WL_Resource* out) {
  const char c0 = line[0];
  if (c0 == '\0' || c0 == '#' || c0 == ';' || c0 == '*' || c0 == '\r' || c0 == '\n') return false;
  std::string_view text(line, strcspn(line, "\r\n"));
  const size_t star1 = text.find('*');
  if (star1 == std::string_view::npos) return false;
  const size_t star2 = text.find('*', star1 + 1);
  if (star2 == std::string_view::npos) return false;

  // LEVEL: "%d:%d:%d"; only the first number counts.
  std::string level_text(text.substr(0, star1));
  int64_t level = 0;
  if (!ScanDecimal(level_text.c_str(), &level)) return false;
  if (level < -1) level = -1;
  if (level > INT32_MAX) level = INT32_MAX;

  std::string name(TrimWhite(text.substr(star1 + 1, star2 - star1 - 1)));
  if (name.size() > 131 || !IsSafeName(name)) return false;

  std::string path(TrimWhite(text.substr(star2 + 1)));
  // "/" alone is the one short path that names a directory: the root.
  const bool root = path == "/";
  if (!root && (path.size() < 2 || path.size() > 520)) return false;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (!root) {
    if (path.back() == '/') path.pop_back();
    if (!IsSafeLocalPath(path)) return false;
  }
  if (!IsDirectory(path)) return false;
  out->level = static_cast<int32_t>(level);
  out->name = std::move(name);
  out->path = std::move(path);
  return true;
}

bool WL_FtpResource::LoadResources(const std::string& path) {
  if (PathKind(path) != kPathRegular) return false;
  entries_.clear();
  entries_.reserve(64);
  uint32_t duplicates = GetTickCount() % 1000 + 1;
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) return false;
  char line[2000];
  while (entries_.size() < kMaxResources && ReadLine(f, line, sizeof(line))) {
    WL_Resource r;
    if (!ParseResourceLine(line, &r)) continue;
    const std::string base = r.name;
    for (const WL_Resource& e : entries_) {
      if (e.name == base) {
        char suffix[40];
        FormatText(suffix, sizeof(suffix), "__%u_%x", static_cast<unsigned>(entries_.size()), duplicates);
        r.name += suffix;
        ++duplicates;
      }
    }
    entries_.push_back(std::move(r));
  }
  CloseFile(f);
  return !entries_.empty();
}

bool WL_FtpResource::ResolveResource(const std::string& name, int32_t access_level, std::string* local_path) const {
  local_path->clear();
  if (name.empty()) return false;
  for (const WL_Resource& e : entries_) {
    if (e.name != name) continue;
    if (e.level > access_level) return false;
    *local_path = e.path;
    return true;
  }
  return false;
}
