// File helpers built on the platform layer: safe names, directory listings
// and the tail samples of the joint transfers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class WL_MultiString;

// False for "", "." and "..", and for a name holding "/", a double quote,
// one of * : < > ? \ | or a control character.
bool IsSafeName(std::string_view name);

// One level of a directory. With skip_hidden, hidden entries (a leading
// ".") and system ones (anything neither a regular file nor a directory)
// are left out. Names that are not valid UTF-8 are always left out. False
// when the directory cannot be read to its end.
bool ListDirectory(const std::string& path, std::vector<std::string>* dirs, std::vector<std::string>* files,
                   std::vector<uint64_t>* sizes, std::vector<int64_t>* mtimes, bool skip_hidden);
bool ListDirectoryMulti(const std::string& path, WL_MultiString* dirs, WL_MultiString* files,
                        std::vector<uint64_t>* sizes, std::vector<int64_t>* mtimes, std::vector<int64_t>* dir_mtimes,
                        bool skip_hidden);

// Reads up to 512 bytes at offset of a file larger than 2 MiB. Returns the
// count, or -1 bad arguments or an offset below 1 MiB, -2 cannot open, -3
// the file is not larger than 2 MiB, -4 offset at or past the end, -5 the
// seek failed.
int ReadSample(const std::string& path, char* buf, int64_t offset, int64_t* file_size);
