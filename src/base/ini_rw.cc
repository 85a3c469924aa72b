#include "base/ini_rw.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <new>

#include "platform/fs.h"

namespace {

constexpr size_t kMaxName = 3600;
constexpr size_t kMaxLines = 18000;
constexpr int kReadChunk = 3600;

bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

bool EqualNoCase(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n) == 0; }

std::string HeaderText(const char* section) {
  std::string h;
  h.reserve(strlen(section) + 2);
  h.push_back('[');
  h.append(section);
  h.push_back(']');
  return h;
}

}  // namespace

uint64_t WL_IniRW::LineHash(const char* text, size_t n) {
  if (text == nullptr || n == 0 || n > kMaxName) return 0;
  uint8_t bytes[8] = {};
  bytes[7] = static_cast<uint8_t>(n % 255);
  for (size_t i = 0; i < n; ++i) bytes[i % 7] ^= static_cast<uint8_t>(tolower(static_cast<unsigned char>(text[i])));
  uint64_t h = 0;
  for (int i = 7; i >= 0; --i) h = (h << 8) | bytes[i];
  return h;
}

void WL_IniRW::Clear() {
  texts_.clear();
  kinds_.clear();
  hashes_.clear();
}

void WL_IniRW::AddLine(std::string text) {
  int32_t kind = kOther;
  uint64_t hash = 0;
  const size_t n = text.size();
  if (n == 0) {
    kind = kOther;
  } else if (n >= 3 && text[0] == '[' && text[n - 1] == ']') {
    kind = kSection;
    hash = LineHash(text.data(), n);
  } else if (text[0] == '#' || text[0] == '/' || text[0] == ';') {
    kind = kOther;
  } else {
    size_t eq = text.find('=');
    if (n >= 2 && eq != std::string::npos && eq >= 1) {
      kind = kKey;
      hash = LineHash(text.data(), eq);
    }
  }
  texts_.push_back(std::move(text));
  kinds_.push_back(kind);
  hashes_.push_back(hash);
}

bool WL_IniRW::Open(const std::string& path) {
  if (dirty_ && auto_save_) Save();
  Clear();
  loaded_ = false;
  dirty_ = false;
  path_ = path;
  if (path.empty()) return false;
  return Load() == 1;
}

int WL_IniRW::Load() {
  if (dirty_ && loaded_ && auto_save_) Save();
  loaded_ = false;
  dirty_ = false;
  Clear();
  loaded_ = true;
  try {
    texts_.reserve(360);
    kinds_.reserve(360);
    hashes_.reserve(360);
    if (path_.empty()) return 0;
    FILE* f = OpenFile(path_, "rb");
    if (f == nullptr) return 0;
    char buf[kReadChunk];
    while (texts_.size() < kMaxLines) {
      if (!ReadLine(f, buf, kReadChunk)) {
        if (!AtEnd(f)) {
          texts_.emplace_back();
          kinds_.push_back(kReadFailure);
          hashes_.push_back(0);
        }
        break;
      }
      size_t n = strcspn(buf, "\r\n");
      if (trim_) {
        while (n > 0 && IsWhite(buf[n - 1])) --n;
      }
      size_t start = 0;
      while (start < n && IsWhite(buf[start])) ++start;
      AddLine(std::string(buf + start, n - start));
    }
    CloseFile(f);
    while (!texts_.empty() && texts_.back().empty()) {
      texts_.pop_back();
      kinds_.pop_back();
      hashes_.pop_back();
    }
  } catch (const std::bad_alloc&) {
    Clear();
    return -1;
  }
  return 1;
}

int WL_IniRW::FindSection(const std::string& header) const {
  const uint64_t h = LineHash(header.data(), header.size());
  for (size_t i = 0; i < texts_.size(); ++i) {
    if (kinds_[i] == kSection && hashes_[i] == h && texts_[i].size() == header.size() &&
        EqualNoCase(texts_[i].c_str(), header.c_str(), header.size())) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int WL_IniRW::FindKeyAfter(int header, const char* key, size_t key_len, uint64_t key_hash) const {
  for (size_t i = static_cast<size_t>(header) + 1; i < texts_.size() && kinds_[i] != kSection; ++i) {
    if (kinds_[i] != kKey || hashes_[i] != key_hash) continue;
    const std::string& t = texts_[i];
    if (t.find('=') == key_len && EqualNoCase(t.c_str(), key, key_len)) return static_cast<int>(i);
  }
  return -1;
}

const char* WL_IniRW::GetValue(const char* section, const char* key) const {
  if (section == nullptr || key == nullptr || *section == '\0' || *key == '\0' || !loaded_) return nullptr;
  const size_t key_len = strlen(key);
  if (key_len > kMaxName) return nullptr;
  int header = FindSection(HeaderText(section));
  if (header < 0) return nullptr;
  int line = FindKeyAfter(header, key, key_len, LineHash(key, key_len));
  if (line < 0) return nullptr;
  return texts_[static_cast<size_t>(line)].c_str() + key_len + 1;
}

bool WL_IniRW::SetValue(const char* section, const char* key, const char* value) {
  if (!loaded_ || section == nullptr || key == nullptr || *section == '\0' || *key == '\0') return false;
  const size_t section_len = strlen(section);
  const size_t key_len = strlen(key);
  if (section_len >= 3598 || key_len > kMaxName) return false;
  dirty_ = true;
  try {
    const std::string header = HeaderText(section);
    int h = FindSection(header);
    if (h < 0) {
      AddLine(header);
      h = static_cast<int>(texts_.size()) - 1;
    }
    std::string line = std::string(key) + "=" + (value != nullptr ? value : "");
    const uint64_t key_hash = LineHash(key, key_len);
    int existing = FindKeyAfter(h, key, key_len, key_hash);
    if (existing >= 0) {
      texts_[static_cast<size_t>(existing)] = std::move(line);
      return true;
    }
    size_t next = static_cast<size_t>(h) + 1;
    while (next < texts_.size() && kinds_[next] != kSection) ++next;
    size_t at;
    if (next == texts_.size()) {
      at = static_cast<size_t>(h) + 1;  // end of the table: directly under the header
    } else if (next == static_cast<size_t>(h) + 1) {
      at = next;  // the section holds only its header
    } else {
      at = next - 1;  // before the section's last line, which often is its closing blank
    }
    texts_.insert(texts_.begin() + static_cast<long>(at), std::move(line));
    kinds_.insert(kinds_.begin() + static_cast<long>(at), kKey);
    hashes_.insert(hashes_.begin() + static_cast<long>(at), key_hash);
  } catch (const std::bad_alloc&) {
    Clear();
    loaded_ = false;
    dirty_ = false;
    return false;
  }
  return true;
}

bool WL_IniRW::Save() {
  if (path_.empty()) return false;
  // The table goes into a new file beside the old one, which is replaced
  // only once every byte is written and on disk: a failure anywhere leaves
  // the old file as it was and reports false.
  std::string temp;
  FILE* f = CreateTempBeside(path_, &temp);
  if (f == nullptr) return false;
  bool ok = true;
  if (leading_newline_) ok = WriteFile(f, "\r\n", 2) == 2;
  for (size_t i = 0; ok && i < texts_.size(); ++i) {
    const std::string& t = texts_[i];
    ok = WriteFile(f, t.data(), t.size()) == t.size() && WriteFile(f, "\r\n", 2) == 2;
  }
  if (ok) ok = SyncFile(f);
  if (!CloseFileChecked(f)) ok = false;
  if (ok) ok = ReplaceFile(temp, path_);
  if (!ok) {
    RemoveFile(temp);
    return false;
  }
  dirty_ = false;
  return true;
}

void WL_IniRW::Close() {
  if (dirty_ && loaded_ && auto_save_) Save();
  Clear();
  loaded_ = false;
  dirty_ = false;
}
