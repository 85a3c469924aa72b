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
// True when path names an existing directory.
bool IsDirectory(const std::string& path);
// Opens a file with a C stdio mode ("rb", "wb", "a+b", "r+b", "w+b"). The
// descriptor is not inherited by child processes. Returns nullptr on failure.
FILE* OpenFile(const std::string& path, const char* mode);
// Reads one line (at most cap - 1 bytes, like fgets). Returns false at the
// end of the file or on a read error.
bool ReadLine(FILE* f, char* buf, int cap);
void CloseFile(FILE* f);
// Writes n bytes. Returns the number written (short on error).
size_t WriteFile(FILE* f, const void* data, size_t n);
bool FlushFile(FILE* f);
// Moves to the end (SeekToEnd) or the start (Rewind) of the file.
bool SeekToEnd(FILE* f);
void RewindFile(FILE* f);
// The current position, or -1.
int64_t FilePosition(FILE* f);
// Size of a regular file. False when path is not a regular file.
bool RegularFileSize(const std::string& path, uint64_t* size);
// Cuts a file to zero length. False on failure.
bool TruncateFile(const std::string& path);
