#include "platform/fs.h"

#include <dirent.h>
#include <stdio.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
  const bool plus = strchr(mode, '+') != nullptr;
  int flags;
  switch (mode[0]) {
    case 'r':
      flags = plus ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      break;
    case 'a':
      flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      return nullptr;
  }
  // O_NONBLOCK keeps a FIFO from blocking the open; it is cleared once the
  // file is known to be regular.
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  // On a regular file O_NONBLOCK changes nothing for reads; a writer
  // clears it all the same. (Downloads open many small files: two system
  // calls fewer each.)
  if (flags != O_RDONLY) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // An empty file needs no truncation, and on ext4 truncating one (even to
  // its own size 0) makes the close write the file out at once.
  if (mode[0] == 'w' && st.st_size > 0 && ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, mode);
  if (f == nullptr) close(fd);
  return f;
}

bool ReadLine(FILE* f, char* buf, int cap) { return f != nullptr && fgets(buf, cap, f) != nullptr; }

void CloseFile(FILE* f) {
  if (f != nullptr) fclose(f);
}

size_t WriteFile(FILE* f, const void* data, size_t n) { return f == nullptr ? 0 : fwrite(data, 1, n, f); }

bool FlushFile(FILE* f) { return f != nullptr && fflush(f) == 0; }

size_t ReadBytes(FILE* f, void* data, size_t n) { return f == nullptr ? 0 : fread(data, 1, n, f); }

bool SeekTo(FILE* f, int64_t offset) { return f != nullptr && fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0; }

int FileDescriptor(FILE* f) { return f == nullptr ? -1 : fileno(f); }

bool TruncateOpenFile(FILE* f, int64_t size) {
  return f != nullptr && fflush(f) == 0 && ftruncate(fileno(f), static_cast<off_t>(size)) == 0;
}

int64_t OpenFileSize(FILE* f) {
  struct stat st;
  if (f == nullptr || fstat(fileno(f), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool AtEnd(FILE* f) { return f == nullptr || feof(f) != 0; }

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

bool GetPathInfo(const std::string& path, uint64_t* size, int* kind, int64_t* mtime) {
  *kind = kKindOther;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *kind = S_ISDIR(st.st_mode) ? kKindDirectory : (S_ISREG(st.st_mode) ? kKindRegular : kKindOther);
  *mtime = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool GetFileTimes(const std::string& path, uint64_t* size, int64_t* ctime, int64_t* mtime) {
  struct statx sx;
  if (path.empty() || statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  if (!S_ISREG(sx.stx_mode)) return false;
  *size = sx.stx_size;
  *mtime = sx.stx_mtime.tv_sec;
  *ctime = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
  return true;
}

bool CanRead(const std::string& path) {
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) return false;
  CloseFile(f);
  return true;
}

bool MakeDirectory(const std::string& path) {
  if (path == "/") return true;
  return !path.empty() && mkdir(path.c_str(), 0755) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

bool RemoveFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

namespace {
int RemoveEntry(const char* p, const struct stat*, int type, struct FTW*) {
  const int rc = (type == FTW_DP) ? rmdir(p) : unlink(p);
  return rc == 0 ? 0 : 1;
}
}  // namespace

bool DeleteTree(const std::string& path) {
  if (path.size() < 2) return false;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  return nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

bool SetFileTimes(const std::string& path, int64_t, int64_t mtime) {
  if (mtime < 1) return true;
  if (path.empty()) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime);
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool GetLinkInfo(const std::string& path, uint64_t* size, int* kind, int64_t* mtime) {
  *kind = kKindOther;
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *kind = S_ISDIR(st.st_mode) ? kKindDirectory : (S_ISREG(st.st_mode) ? kKindRegular : kKindOther);
  *mtime = static_cast<int64_t>(st.st_mtime);
  return true;
}

FILE* OpenReadNoFollow(const std::string& path, uint64_t* size, int64_t* ctime, int64_t* mtime) {
  if (path.empty()) return nullptr;
  // O_NONBLOCK keeps a FIFO from blocking the open; a FIFO is refused below.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0 || !S_ISREG(sx.stx_mode)) {
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    close(fd);
    return nullptr;
  }
  if (size != nullptr) *size = sx.stx_size;
  if (mtime != nullptr) *mtime = sx.stx_mtime.tv_sec;
  if (ctime != nullptr) *ctime = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
  return f;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (a.empty() || b.empty() || stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ResolvePath(const std::string& path, std::string* out) {
  if (path.empty()) return false;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  *out = resolved;
  free(resolved);
  return true;
}

DirReader::DirReader(const std::string& path) { dir_ = path.empty() ? nullptr : opendir(path.c_str()); }

DirReader::~DirReader() {
  if (dir_ != nullptr) closedir(static_cast<DIR*>(dir_));
}

bool DirReader::Next(DirEntry* out) {
  if (dir_ == nullptr) return false;
  DIR* d = static_cast<DIR*>(dir_);
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (e == nullptr) {
      error_ = errno != 0;
      return false;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since the read
      error_ = true;
      return false;
    }
    out->name = e->d_name;
    out->kind = S_ISDIR(st.st_mode) ? kKindDirectory : (S_ISREG(st.st_mode) ? kKindRegular : kKindOther);
    out->size = static_cast<uint64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtime);
    return true;
  }
}

FILE* CreateTempBeside(const std::string& path, std::string* temp_path) {
  if (path.empty() || temp_path == nullptr) return nullptr;
  std::string name = path + ".XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  // The replacement keeps the mode of the file it replaces; a new file gets
  // the usual 0644 instead of mkostemp's 0600.
  struct stat st;
  const mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  fchmod(fd, mode);
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    close(fd);
    unlink(name.c_str());
    return nullptr;
  }
  *temp_path = std::move(name);
  return f;
}

bool SyncFile(FILE* f) { return f != nullptr && fflush(f) == 0 && fsync(fileno(f)) == 0; }

bool CloseFileChecked(FILE* f) { return f != nullptr && fclose(f) == 0; }

bool ReplaceFile(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && rename(from.c_str(), to.c_str()) == 0;
}
