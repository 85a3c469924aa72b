#include "stream/http_request.h"

#include <string_view>

#include "base/text_scan.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimBlanks(std::string_view s) {
  s = SkipBlanks(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Reads the hexadecimal number at the start of s. False when s does not
// start with a digit or the value does not fit in 64 bits.
bool LeadingHex(std::string_view s, uint64_t* value, size_t* used) {
  uint64_t v = 0;
  size_t i = 0;
  for (; i < s.size(); ++i) {
    const int d = HexDigit(s[i]);
    if (d < 0) break;
    if (v > (UINT64_MAX >> 4)) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  if (i == 0) return false;
  *value = v;
  *used = i;
  return true;
}

// Reads the decimal number at the start of s into a non-negative int64.
// 0: no digit; -1: too large; else the number of digits used.
int LeadingDecimal(std::string_view s, int64_t* value) {
  int64_t v = 0;
  size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int d = s[i] - '0';
    if (v > (INT64_MAX - d) / 10) return -1;
    v = v * 10 + d;
  }
  *value = v;
  return static_cast<int>(i);
}

int Fail(uint16_t* code, uint16_t c, int result) {
  *code = c;
  return result;
}

// The target after "GET ": the mapped URL's numbers and extension.
int ParseTarget(std::string_view target, WL_HttpRequest* out, uint16_t* code) {
  if (target.empty() || target[0] != '/') return Fail(code, kNoSlash, -8);
  const size_t dot = target.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view ext = target.substr(dot + 1);
    if (ext.size() > 7) return Fail(code, kExtTooLong, -10);
    out->has_ext = true;
    out->ext.Assign(ext);
    target = target.substr(0, dot);
  }
  target.remove_prefix(1);
  const size_t slash = target.find('/');
  if (slash == std::string_view::npos) return Fail(code, kNoSecondPart, -11);
  std::string_view first = target.substr(0, slash);
  const std::string_view second = target.substr(slash + 1);
  if (second.empty()) return Fail(code, kEmptySecondPart, -12);
  const size_t under = first.find('_');
  if (under != std::string_view::npos) {
    const std::string_view url_code = first.substr(under + 1);
    if (url_code.size() != 10) return Fail(code, kBadUrlCode, -15);
    out->url_code.Assign(url_code);
  }
  size_t used = 0;
  if (!LeadingHex(first, &out->dir64, &used)) return Fail(code, kBadDir64, -16);
  if (second.substr(0, 3) != "fx_") return Fail(code, kNoFx, -17);
  std::string_view numbers = second.substr(3);
  if (!LeadingHex(numbers, &out->unicode, &used)) return Fail(code, kBadNumbers, -18);
  numbers.remove_prefix(used);
  if (numbers.empty() || numbers[0] != '_') return Fail(code, kBadNumbers, -18);
  numbers.remove_prefix(1);
  if (!LeadingHex(numbers, &out->hash, &used)) return Fail(code, kBadNumbers, -18);
  return 0;
}

// The value of a "Range:" line after the name. Returns 0 or a failure.
int ParseRange(std::string_view value, WL_HttpRequest* out, uint16_t* code) {
  value = SkipBlanks(value);
  if (!StartsNoCase(value, "bytes=")) return 0;
  value.remove_prefix(6);
  if (value.find(',') != std::string_view::npos) return Fail(code, kRangeList, -20);
  const size_t dash = value.find('-');
  if (dash == std::string_view::npos) return Fail(code, kRangeNoDash, -21);
  const std::string_view start_text = TrimBlanks(value.substr(0, dash));
  int64_t start = 0;
  if (!start_text.empty()) {
    // Digits only: a sign or anything else makes the start unusable.
    if (LeadingDecimal(start_text, &start) != static_cast<int>(start_text.size())) {
      return Fail(code, kRangeBadStart, -23);
    }
  }
  out->range_start = start;
  const std::string_view end_text = SkipBlanks(value.substr(dash + 1));
  int64_t end = 0;
  const int digits = LeadingDecimal(end_text, &end);
  if (digits < 0) return Fail(code, kRangeBadStart, -23);
  if (digits == 0) return 0;  // open range
  if (end >= start) {
    if (end != 0) {
      if (end - start == INT64_MAX) return Fail(code, kRangeBadBlock, -24);
      out->block_length = end - start + 1;
    }
    return 0;
  }
  if (end == 0) return 0;
  return Fail(code, kRangeEndBeforeStart, -23);
}

}  // namespace

int ParseRequest(const char* head, size_t len, WL_HttpRequest* out, uint16_t* code) {
  *out = WL_HttpRequest();
  *code = 0;
  if (head == nullptr || len <= 12) return Fail(code, kHeadTooShort, -1);
  std::string_view text(head, len);
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return Fail(code, kHeadNoEnd, -2);
  text = text.substr(0, end);
  if (text.size() <= 12) return Fail(code, kHeadCutTooShort, -3);

  bool first_line = true;
  while (!text.empty()) {
    const size_t eol = text.find("\r\n");
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 2);
    line = SkipBlanks(line);
    if (first_line) {
      first_line = false;
      if (line.size() < 4) return Fail(code, kLineTooShort, -6);
      if (!StartsNoCase(line, "GET ")) return Fail(code, kNotGet, -7);
      std::string_view rest = line.substr(4);
      // A percent escape ends the target: mapped URLs never contain one.
      const size_t pct = rest.find('%');
      if (pct != std::string_view::npos) rest = rest.substr(0, pct);
      const size_t blank = rest.find(' ');
      if (blank != std::string_view::npos) rest = rest.substr(0, blank);
      const int r = ParseTarget(rest, out, code);
      if (r < 0) return r;
      continue;
    }
    if (!StartsNoCase(line, "Range:")) continue;
    out->range = true;
    const int r = ParseRange(line.substr(6), out, code);
    if (r < 0) return r;
    break;  // only the first Range line counts
  }
  return 0;
}
