// Figures of the running process and of the host, for the status commands.
// Every function reads Linux once and reports failure in its result; none
// of them keeps state.
#pragma once

#include <cstdint>

struct WL_ProcessMemory {
  int64_t resident_bytes = 0;       // VmRSS of /proc/self/status
  int64_t peak_resident_bytes = 0;  // VmHWM of /proc/self/status
};

// Reads VmRSS and VmHWM of /proc/self/status into out (bytes). Returns false
// (out left zero) when the file cannot be read or a field is missing.
bool ReadProcessMemory(WL_ProcessMemory* out);
// User plus system CPU time of the whole process (getrusage RUSAGE_SELF) in
// milliseconds; -1 when getrusage fails.
int64_t ProcessCpuMillis();
// The C library's clock() in milliseconds: processor time of the process as
// the C runtime counts it; -1 when clock() reports failure.
int64_t ProcessClockMillis();
// The number of open descriptors (entries of /proc/self/fd, "." and ".."
// and the descriptor of the listing itself left out); -1 when the directory
// cannot be read.
int64_t CountOpenDescriptors();
// MemAvailable of /proc/meminfo in bytes; 0 when it cannot be read.
int64_t AvailableMemoryBytes();
