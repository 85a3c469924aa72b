#include "platform/clock.h"

#include <sched.h>
#include <time.h>

uint64_t GetTickCount64() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(GetTickCount64()); }

int64_t NowSeconds() { return static_cast<int64_t>(time(nullptr)); }

bool ToLocalTime(int64_t t, struct tm* out) {
  time_t tt = static_cast<time_t>(t);
  return localtime_r(&tt, out) != nullptr;
}

bool ToUtcTime(int64_t t, struct tm* out) {
  time_t tt = static_cast<time_t>(t);
  return gmtime_r(&tt, out) != nullptr;
}

void SleepMs(int ms) {
  if (ms <= 0) {
    sched_yield();
    return;
  }
  struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void YieldThread() { sched_yield(); }

void SpinBackoff::Pause() {
  if (++spins_ < 64) {
    sched_yield();
  } else {
    SleepMs(1);
  }
}
