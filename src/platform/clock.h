// Clocks and calendar conversion.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of the monotonic clock, truncated to 32 bits: it wraps after
// about 49 days, as the tick counter the server was designed around does.
uint32_t GetTickCount();
// Milliseconds of the monotonic clock, 64 bits.
uint64_t GetTickCount64();
// Seconds since 1970 (wall clock).
int64_t NowSeconds();
// Local time of t. Returns false when t cannot be converted.
bool ToLocalTime(int64_t t, struct tm* out);
// UTC time of t. Returns false when t cannot be converted.
bool ToUtcTime(int64_t t, struct tm* out);
// Sleeps for ms milliseconds (0: gives up the processor once).
void SleepMs(int ms);
// Gives up the processor once.
void YieldThread();

// A wait loop that yields first and naps 1 ms after some spins, so that a
// thread polling a flag does not hold a core (the machine may have only two).
class SpinBackoff {
 public:
  void Pause();

 private:
  uint32_t spins_ = 0;
};
