#include "platform/proc_stats.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Finds "<key>:" at the start of a line of a /proc text file and returns
// its value in bytes (the files give kB). -1 when the key is missing or the
// file cannot be read.
int64_t ProcKilobytes(const char* path, const char* key) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return -1;
  const size_t key_len = strlen(key);
  char line[256];
  int64_t result = -1;
  while (fgets(line, sizeof(line), f) != nullptr) {
    if (strncmp(line, key, key_len) != 0 || line[key_len] != ':') continue;
    char* end = nullptr;
    const long long kb = strtoll(line + key_len + 1, &end, 10);
    if (end != line + key_len + 1 && kb >= 0 && kb < (1LL << 53) / 1024) result = static_cast<int64_t>(kb) * 1024;
    break;
  }
  fclose(f);
  return result;
}

}  // namespace

bool ReadProcessMemory(WL_ProcessMemory* out) {
  *out = WL_ProcessMemory();
  const int64_t rss = ProcKilobytes("/proc/self/status", "VmRSS");
  const int64_t hwm = ProcKilobytes("/proc/self/status", "VmHWM");
  if (rss < 0 || hwm < 0) return false;
  out->resident_bytes = rss;
  out->peak_resident_bytes = hwm;
  return true;
}

int64_t ProcessCpuMillis() {
  struct rusage u;
  if (getrusage(RUSAGE_SELF, &u) != 0) return -1;
  const int64_t us = (static_cast<int64_t>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec +
                     u.ru_stime.tv_usec;
  return us / 1000;
}

int64_t ProcessClockMillis() {
  const clock_t c = clock();
  if (c == static_cast<clock_t>(-1)) return -1;
  return static_cast<int64_t>(c) / (CLOCKS_PER_SEC / 1000);
}

int64_t CountOpenDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int64_t n = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n > 0 ? n - 1 : 0;  // the listing's own descriptor
}

int64_t AvailableMemoryBytes() {
  const int64_t v = ProcKilobytes("/proc/meminfo", "MemAvailable");
  return v < 0 ? 0 : v;
}
