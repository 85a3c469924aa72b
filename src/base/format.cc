#include "base/format.h"

#include <cstdio>

int FormatTextV(char* buf, size_t cap, const char* fmt, va_list ap) {
  if (buf == nullptr || cap == 0) return -1;
  int n = vsnprintf(buf, cap, fmt, ap);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    buf[0] = '\0';
    return -1;
  }
  return n;
}

int FormatText(char* buf, size_t cap, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = FormatTextV(buf, cap, fmt, ap);
  va_end(ap);
  return n;
}
