// The shared resources: named local directories with access levels, the
// top level of every normal-mode session's virtual tree. Read once per start
// from config/myshare.txt ("LEVEL*NAME*PATH" lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WL_Resource {
  std::string name;
  std::string path;  // absolute, without a trailing "/"
  int32_t level = 0;
};

class WL_FtpResource {
 public:
  static constexpr size_t kMaxResources = 256;

  WL_FtpResource() = default;
  virtual ~WL_FtpResource() = default;

  // True when at least one resource was loaded. A path that is not a
  // regular file leaves the table as it was.
  bool LoadResources(const std::string& path);
  // The local path of the first resource named exactly name when its level
  // is not above access_level.
  bool ResolveResource(const std::string& name, int32_t access_level, std::string* local_path) const;
  const std::vector<WL_Resource>& entries() const { return entries_; }

 private:
  std::vector<WL_Resource> entries_;
};

// The checks of one myshare.txt line; false for a line to ignore.
bool ParseResourceLine(const char* line, WL_Resource* out);
