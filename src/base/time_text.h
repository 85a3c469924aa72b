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
