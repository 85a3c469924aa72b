#include "base/time_text.h"

#include <ctime>

#include "base/format.h"
#include "platform/clock.h"

int FormatLocalTime(int64_t seconds, char* buf, size_t size) {
  if (buf == nullptr) return -1;
  if (size == 0) return 0;
  struct tm t;
  if (seconds <= 0 || !ToLocalTime(seconds, &t)) return FormatText(buf, size, "--");
  return FormatText(buf, size, "%d-%d-%d %d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                    t.tm_min, t.tm_sec);
}

int FormatLogStamp(int64_t seconds, char* buf, size_t size) {
  struct tm t;
  if (!ToLocalTime(seconds, &t)) return FormatText(buf, size, "? ");
  int n = FormatText(buf, size, "%d-%02d-%02d %02d:%02d:%02d  ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                     t.tm_hour, t.tm_min, t.tm_sec);
  return n < 0 ? FormatText(buf, size, "? ") : n;
}

int FormatClockDate(int64_t seconds, char* buf, size_t size) {
  struct tm t;
  if (!ToLocalTime(seconds, &t)) return FormatText(buf, size, "Out of time");
  int n = FormatText(buf, size, "%02d:%02d:%02d%c%d-%02d-%02d", t.tm_hour, t.tm_min, t.tm_sec, ' ',
                     t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return n < 0 ? FormatText(buf, size, "Out of time") : n;
}

int WL_UtcTimeToStr::UtcStamp(int64_t seconds, char* buf, size_t size) const {
  if (seconds < 0) seconds = 0;
  struct tm t;
  int n = -1;
  if (ToUtcTime(seconds, &t)) {
    n = FormatText(buf, size, "%d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                   t.tm_min, t.tm_sec);
  }
  return n < 0 ? FormatText(buf, size, "19000101010101") : n;
}
