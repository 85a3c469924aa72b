#include "base/file_util.h"

#include "base/local_path.h"
#include "base/multi_string.h"
#include "base/utf_str.h"
#include "platform/fs.h"

bool IsSafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || IsUnsafePathChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

namespace {

// Walks one directory level and hands each entry that passes the filters to
// take(entry). False when the walk could not finish.
template <typename Take>
bool Walk(const std::string& path, bool skip_hidden, Take take) {
  DirReader reader(path.empty() ? std::string(".") : path);
  if (!reader.ok()) return false;
  DirEntry e;
  while (reader.Next(&e)) {
    if (!IsValidUtf8(e.name.data(), e.name.size())) continue;
    if (skip_hidden && (e.name[0] == '.' || e.kind == kKindOther)) continue;
    take(e);
  }
  return !reader.error();
}

}  // namespace

bool ListDirectory(const std::string& path, std::vector<std::string>* dirs, std::vector<std::string>* files,
                   std::vector<uint64_t>* sizes, std::vector<int64_t>* mtimes, bool skip_hidden) {
  return Walk(path, skip_hidden, [&](const DirEntry& e) {
    if (e.kind == kKindDirectory) {
      dirs->push_back(e.name);
    } else {
      files->push_back(e.name);
      sizes->push_back(e.size);
      mtimes->push_back(e.mtime);
    }
  });
}

bool ListDirectoryMulti(const std::string& path, WL_MultiString* dirs, WL_MultiString* files,
                        std::vector<uint64_t>* sizes, std::vector<int64_t>* mtimes, std::vector<int64_t>* dir_mtimes,
                        bool skip_hidden) {
  return Walk(path, skip_hidden, [&](const DirEntry& e) {
    if (e.kind == kKindDirectory) {
      if (dirs->Append(e.name.c_str())) dir_mtimes->push_back(e.mtime);
    } else if (files->Append(e.name.c_str())) {
      sizes->push_back(e.size);
      mtimes->push_back(e.mtime);
    }
  });
}

int ReadSample(const std::string& path, char* buf, int64_t offset, int64_t* file_size) {
  if (buf == nullptr || offset < 1048576) return -1;
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) return -2;
  uint64_t size = 0;
  if (!RegularFileSize(path, &size) || size <= 2097152) {
    CloseFile(f);
    return -3;
  }
  if (file_size != nullptr) *file_size = static_cast<int64_t>(size);
  if (static_cast<uint64_t>(offset) >= size) {
    CloseFile(f);
    return -4;
  }
  if (!SeekTo(f, offset)) {
    CloseFile(f);
    return -5;
  }
  const size_t n = ReadBytes(f, buf, 512);
  CloseFile(f);
  return static_cast<int>(n);
}
