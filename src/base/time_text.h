// Time texts shared by log, list and status lines.
#pragma once

#include <cstddef>
#include <cstdint>

// Local time as "%d-%d-%d %d:%d:%d" (no zero padding); "--" for a time of 0
// or less or one that cannot be converted. Returns the length, -1 for a
// missing buffer or a text that does not fit, 0 for a size of 0.
int FormatLocalTime(int64_t seconds, char* buf, size_t size);
// The log line prefix: local time as "%d-%02d-%02d %02d:%02d:%02d  " (two
// trailing blanks), or "? " when the time cannot be formed. Returns the length.
int FormatLogStamp(int64_t seconds, char* buf, size_t size);

// Local time as "%02d:%02d:%02d %d-%02d-%02d" (09:05:01 2024-03-07), or "Out
// of time" when it cannot be converted. buf holds 36 bytes. Returns the
// length.
int FormatClockDate(int64_t seconds, char* buf, size_t size);

// UTC time texts of the MLSD and MLST facts and of MFMT.
class WL_UtcTimeToStr {
 public:
  // "%d%02d%02d%02d%02d%02d" in UTC; negative times count as 0; a time that
  // cannot be converted gives "19000101010101". buf holds at least 15 bytes.
  // Returns the length.
  int UtcStamp(int64_t seconds, char* buf, size_t size) const;
};
