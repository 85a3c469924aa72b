#include "base/text_scan.h"

#include <cctype>
#include <cstdlib>

namespace {

bool IsWhite(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string_view TrimWhite(std::string_view v) {
  while (!v.empty() && IsWhite(v.front())) v.remove_prefix(1);
  while (!v.empty() && IsWhite(v.back())) v.remove_suffix(1);
  return v;
}

std::string TrimmedText(const char* v) { return v == nullptr ? std::string() : std::string(TrimWhite(v)); }

bool ScanDecimal(const char* v, int64_t* out) {
  if (v == nullptr) return false;
  while (*v != '\0' && IsWhite(*v)) ++v;
  const char* digits = v;
  if (*digits == '+' || *digits == '-') ++digits;
  if (!isdigit(static_cast<unsigned char>(*digits))) return false;
  *out = static_cast<int64_t>(strtoll(v, nullptr, 10));  // saturates at LLONG_MIN/LLONG_MAX
  return true;
}

int32_t SaturateInt32(int64_t x) {
  if (x > INT32_MAX) return INT32_MAX;
  if (x < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(x);
}

bool ParseHex64(const char* text, uint64_t* out) {
  while (*text == ' ' || *text == '\t') ++text;
  char* end = nullptr;
  const unsigned long long v = strtoull(text, &end, 16);
  if (end == text) return false;
  *out = static_cast<uint64_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
