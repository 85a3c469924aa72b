// File-system access. Paths are UTF-8 bytes, passed to the kernel unchanged.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Kinds returned by PathKind.
constexpr uint32_t kPathDirectory = 0;
constexpr uint32_t kPathRegular = 1;
constexpr uint32_t kPathOther = 255;       // anything else, or missing
constexpr uint32_t kPathEmpty = 0xFFFFFFFFu;

// 0 directory, 1 regular file, 255 other or missing, 0xFFFFFFFF for an empty
// path. Follows symbolic links.
uint32_t PathKind(const std::string& path);
// True when path names an existing directory ("dir" and "dir/" alike).
bool IsDirectory(const std::string& path);
// The same test; false for an empty path.
inline bool IsDirectoryPath(const std::string& path) { return !path.empty() && IsDirectory(path); }
// Opens a regular file with a C stdio mode ("rb", "wb", "ab", "a+b", "r+b",
// "w+b"). Anything that is not a regular file (a directory, a FIFO, a
// device) is refused. The descriptor is not inherited by child processes.
// Returns nullptr on failure.
FILE* OpenFile(const std::string& path, const char* mode);
// Reads one line (at most cap - 1 bytes, like fgets). Returns false at the
// end of the file or on a read error.
bool ReadLine(FILE* f, char* buf, int cap);
void CloseFile(FILE* f);
// Writes n bytes. Returns the number written (short on error).
size_t WriteFile(FILE* f, const void* data, size_t n);
bool FlushFile(FILE* f);
// Reads up to n bytes. Returns the number read.
size_t ReadBytes(FILE* f, void* data, size_t n);
// Moves to offset from the start. False on failure.
bool SeekTo(FILE* f, int64_t offset);
// The descriptor of an open stream (for sendfile), or -1.
int FileDescriptor(FILE* f);
// Cuts an open file to size bytes. False on failure.
bool TruncateOpenFile(FILE* f, int64_t size);
// The size of an open file, or -1.
int64_t OpenFileSize(FILE* f);
// True once a read has hit the end of the file.
bool AtEnd(FILE* f);
// Moves to the end (SeekToEnd) or the start (Rewind) of the file.
bool SeekToEnd(FILE* f);
void RewindFile(FILE* f);
// The current position, or -1.
int64_t FilePosition(FILE* f);
// Size of a regular file. False when path is not a regular file.
bool RegularFileSize(const std::string& path, uint64_t* size);
// Cuts a file to zero length. False on failure.
bool TruncateFile(const std::string& path);

// Kinds of GetPathInfo and of directory entries.
constexpr int kKindDirectory = 1;
constexpr int kKindRegular = 0;
constexpr int kKindOther = -1;

// Status of path (following symbolic links): size, kind and modification
// time in seconds. False when it does not exist.
bool GetPathInfo(const std::string& path, uint64_t* size, int* kind, int64_t* mtime);
// Size, creation and modification time of a regular file (creation time
// from statx when the file system keeps it, else the modification time).
bool GetFileTimes(const std::string& path, uint64_t* size, int64_t* ctime, int64_t* mtime);
// The file can be opened for reading.
bool CanRead(const std::string& path);
// Creates one directory level. "/" counts as done without a call.
bool MakeDirectory(const std::string& path);
// Renames within the file system; fails when the target exists.
bool RenameNoReplace(const std::string& from, const std::string& to);
// Deletes one file (or a symbolic link itself).
bool RemoveFile(const std::string& path);
// Deletes a file or a whole tree, depth first, never following a symbolic
// link (a link is removed, not its target). Paths shorter than 2 bytes are
// refused. True when everything was removed.
bool DeleteTree(const std::string& path);
// Sets the last-write time (seconds; below 1 leaves it) of a file or a
// directory. The creation time cannot be set on Linux and counts as done.
// Both below 1: true at once.
bool SetFileTimes(const std::string& path, int64_t ctime, int64_t mtime);

// Status of path itself (a symbolic link is reported as kKindOther, never
// followed): size, kind and modification time in seconds. False when it
// does not exist.
bool GetLinkInfo(const std::string& path, uint64_t* size, int* kind, int64_t* mtime);
// Opens a regular file for reading without following a symbolic link in
// its last component (O_NOFOLLOW); a link, a directory or any other kind
// is refused. size, ctime and mtime (each may be nullptr) describe the
// opened file itself, so they cannot belong to a file swapped in after a
// check. Returns nullptr on failure.
FILE* OpenReadNoFollow(const std::string& path, uint64_t* size, int64_t* ctime, int64_t* mtime);
// True when both paths exist (following links) and name the same file:
// the same device and inode.
bool SameFile(const std::string& a, const std::string& b);
// The canonical absolute form of an existing path (every link and "." or
// ".." resolved, realpath). False when it cannot be resolved.
bool ResolvePath(const std::string& path, std::string* out);

// One entry of a directory, as lstat reports it.
struct DirEntry {
  std::string name;
  int kind = kKindOther;  // a symbolic link is kKindOther
  uint64_t size = 0;
  int64_t mtime = 0;
};

// Reads a directory's entries one by one, "." and ".." left out.
class DirReader {
 public:
  explicit DirReader(const std::string& path);
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;
  bool ok() const { return dir_ != nullptr; }
  // The next entry; false at the end or on a read error (error() tells).
  bool Next(DirEntry* out);
  bool error() const { return error_; }

 private:
  void* dir_ = nullptr;
  bool error_ = false;
};

// Replacing a file as a whole.

// Creates a new, empty temporary file in the directory of path (its name is
// path followed by a unique suffix), opened for writing ("wb"), not
// inherited by child processes. *temp_path receives its name. Returns
// nullptr on failure.
FILE* CreateTempBeside(const std::string& path, std::string* temp_path);
// Flushes the stream and asks the kernel to put the file on disk. False on
// any failure.
bool SyncFile(FILE* f);
// Closes the stream. False when the close reports an error (a write that
// failed late).
bool CloseFileChecked(FILE* f);
// Renames from to to, replacing an existing to in one step.
bool ReplaceFile(const std::string& from, const std::string& to);
