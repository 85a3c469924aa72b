#include "ftp/arg_parsers.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/file_util.h"

namespace {
bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

char* TrimLine(char* line, size_t* length) {
  char* start = line;
  char* end = line + strlen(line);
  while (start < end && IsWhite(*start)) ++start;
  while (end > start && IsWhite(end[-1])) --end;
  *end = '\0';
  *length = static_cast<size_t>(end - start);
  return start;
}

void SplitVerb(char* line, char** verb, char** arg) {
  char* a = line;
  while (*a != '\0' && !IsWhite(*a)) ++a;
  if (*a != '\0') {
    *a++ = '\0';
    while (*a != '\0' && IsWhite(*a)) ++a;
  }
  for (int i = 0; i < 4 && line[i] != '\0'; ++i) line[i] = static_cast<char>(toupper(static_cast<unsigned char>(line[i])));
  *verb = line;
  *arg = a;
}

int ParseIntOrZero(const char* text) {
  const long v = strtol(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

int ScanPortNumbers(const char* arg, uint64_t v[6]) {
  int n = 0;
  const char* p = arg;
  for (; n < 6; ++n) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (*digits < '0' || *digits > '9') break;
    char* end = nullptr;
    // "%u" takes a sign: a negative number wraps to a large one.
    v[n] = strtoull(p, &end, 10);
    p = end;
    if (n < 5) {
      if (*p != ',') {
        ++n;
        break;
      }
      ++p;
    }
  }
  return n;
}

int ParseEprtPort(std::string_view arg, uint16_t* port) {
  const size_t last = arg.rfind('|');
  if (last == std::string_view::npos) return 0;
  const std::string_view head = arg.substr(0, last);
  const size_t second = head.rfind('|');
  if (second == std::string_view::npos) return 0;
  std::string text(head.substr(second + 1));
  const char* t = text.c_str();
  while (*t == ' ' || *t == '\t') ++t;
  char* end = nullptr;
  const long long v = strtoll(t, &end, 10);
  if (end == t || v < 1024 || v > 65535) return -1;
  *port = static_cast<uint16_t>(v);
  return 1;
}

int64_t ParseRestOffset(const char* arg) {
  char* end = nullptr;
  const long long v = strtoll(arg, &end, 10);
  return (end != arg && v > 0) ? static_cast<int64_t>(v) : 0;
}

int ScanStamp(std::string_view t, int f[6]) {
  static const size_t widths[6] = {4, 2, 2, 2, 2, 2};
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    while (at < t.size() && IsWhite(t[at])) ++at;
    const size_t start = at;
    if (at < t.size() && (t[at] == '+' || t[at] == '-')) ++at;
    size_t digits = 0;
    while (at < t.size() && at - start < widths[i] && isdigit(static_cast<unsigned char>(t[at]))) {
      ++at;
      ++digits;
    }
    if (digits == 0) return i;
    f[i] = atoi(std::string(t.substr(start, at - start)).c_str());
  }
  return 6;
}

int64_t StampToSeconds(int f[6]) {
  if (f[1] < 1 || f[1] > 12) f[1] = 1;
  if (f[2] < 1 || f[2] > 31) f[2] = 1;
  if (f[3] < 0 || f[3] > 23) f[3] = 0;
  if (f[4] < 0 || f[4] > 59) f[4] = 0;
  if (f[5] < 0 || f[5] > 59) f[5] = 0;
  if (f[0] < 1970 || f[0] > 3000) return 0;
  struct tm t = {};
  t.tm_year = f[0] - 1900;
  t.tm_mon = f[1] - 1;
  t.tm_mday = f[2];
  t.tm_hour = f[3];
  t.tm_min = f[4];
  t.tm_sec = f[5];
  const int64_t when = static_cast<int64_t>(timegm(&t));
  return when < 0 ? 0 : when;
}

int ScanFields(const char* text, const char* kinds, int64_t* out) {
  int n = 0;
  for (const char* k = kinds; *k != '\0'; ++k) {
    while (*text != '\0' && IsWhite(*text)) ++text;
    char* end = nullptr;
    if (*k == 'd' || *k == 'l') {
      long long v = strtoll(text, &end, 10);  // saturates at the 64-bit limits
      if (end == text) break;
      if (*k == 'd' && v > INT32_MAX) v = INT32_MAX;
      if (*k == 'd' && v < INT32_MIN) v = INT32_MIN;
      out[n] = v;
    } else {
      const unsigned long long v = strtoull(text, &end, 16);
      if (end == text) break;
      out[n] = *k == 'h' ? static_cast<int64_t>(static_cast<uint32_t>(v)) : static_cast<int64_t>(v);
    }
    text = end;
    ++n;
  }
  return n;
}

int ParseOffsetAndName(const char* arg, int64_t* offset, std::string_view* name) {
  const char* bar = strchr(arg, '|');
  if (bar == nullptr) return 1;
  *name = std::string_view(bar + 1);
  if (!IsSafeName(*name)) return 2;
  const std::string_view number = TrimWhite(std::string_view(arg, static_cast<size_t>(bar - arg)));
  size_t i = (!number.empty() && (number[0] == '-' || number[0] == '+')) ? 1 : 0;
  if (i == number.size()) return 3;
  for (; i < number.size(); ++i) {
    if (number[i] < '0' || number[i] > '9') return 3;
  }
  const std::string digits(number);
  if (!ScanDecimal(digits.c_str(), offset)) return 3;
  return *offset < 0 ? 4 : 0;
}

int ParseFrameHeader(const char head[15], int64_t* code, uint64_t* count) {
  if ((head[3] != ' ' && head[3] != '-') || head[13] != '\r' || head[14] != '\n') return 1;
  char text[14];
  memcpy(text, head, 13);
  text[13] = '\0';
  if (!ScanDecimal(text, code)) return 2;
  if (*code == 218 && !ParseHex64(text + 4, count)) return 3;
  return 0;
}
