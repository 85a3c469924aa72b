#include "base/local_path.h"

bool IsUnsafePathChar(unsigned char c) {
  switch (c) {
    case '"':
    case '*':
    case ':':
    case '<':
    case '>':
    case '?':
    case '\\':
    case '|':
    case 0x7F:
      return true;
    default:
      return c < 0x20;
  }
}

bool IsSafeLocalPath(std::string_view p) {
  if (p.size() < 2 || p.back() == '/' || p.back() == '\\') return false;
  if (p.size() >= 2 && p.substr(p.size() - 2) == "/.") return false;
  if (p[0] != '/') return false;
  if (p.find("../") != std::string_view::npos || p.find("/..") != std::string_view::npos ||
      p.find("//") != std::string_view::npos) {
    return false;
  }
  for (char c : p) {
    if (IsUnsafePathChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void ReplaceAll(std::string* text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = text->find(from, pos)) != std::string::npos) {
    text->replace(pos, from.size(), to);
    // A shorter replacement is searched again from where it stands, so a
    // run such as "///" folds down to "/"; a longer one is stepped over.
    if (to.size() >= from.size()) pos += to.size();
  }
}
