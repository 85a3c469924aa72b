// The process: its install directory, signals and random seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The directory of the running executable (/proc/self/exe), ending in "/".
// Returns "./" when it cannot be read.
std::string ExecutableDir();
// The absolute form of a directory path (symbolic links resolved); the
// path itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);
// Ignores SIGPIPE (sends use MSG_NOSIGNAL as well) and blocks SIGTERM and
// SIGINT in the calling thread and every thread it starts, so that
// WaitForStopSignal alone receives them. Call before any thread starts.
void PrepareProcessSignals();
// Waits for SIGTERM or SIGINT. Returns the signal number.
int WaitForStopSignal();
// The value of an environment variable. False when it is not set.
bool EnvironmentValue(const char* name, std::string* out);
// Fills buf with n bytes from the kernel's random source. Returns false when
// it is not available.
bool KernelRandom(void* buf, size_t n);
