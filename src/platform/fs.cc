#include "platform/fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

uint32_t PathKind(const std::string& path) {
  if (path.empty()) return kPathEmpty;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return kPathOther;
  if (S_ISDIR(st.st_mode)) return kPathDirectory;
  if (S_ISREG(st.st_mode)) return kPathRegular;
  return kPathOther;
}

bool IsDirectory(const std::string& path) { return PathKind(path) == kPathDirectory; }

FILE* OpenFile(const std::string& path, const char* mode) {
  if (path.empty() || mode == nullptr) return nullptr;
  char m[8];
  size_t n = strlen(mode);
  if (n + 2 > sizeof(m)) return nullptr;
  memcpy(m, mode, n);
  m[n] = 'e';  // O_CLOEXEC
  m[n + 1] = '\0';
  return fopen(path.c_str(), m);
}

bool ReadLine(FILE* f, char* buf, int cap) { return f != nullptr && fgets(buf, cap, f) != nullptr; }

void CloseFile(FILE* f) {
  if (f != nullptr) fclose(f);
}

size_t WriteFile(FILE* f, const void* data, size_t n) { return f == nullptr ? 0 : fwrite(data, 1, n, f); }

bool FlushFile(FILE* f) { return f != nullptr && fflush(f) == 0; }

bool SeekToEnd(FILE* f) { return f != nullptr && fseeko(f, 0, SEEK_END) == 0; }

void RewindFile(FILE* f) {
  if (f != nullptr) rewind(f);
}

int64_t FilePosition(FILE* f) { return f == nullptr ? -1 : static_cast<int64_t>(ftello(f)); }

bool RegularFileSize(const std::string& path, uint64_t* size) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool TruncateFile(const std::string& path) { return truncate(path.c_str(), 0) == 0; }
