#include "client/output.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "base/format.h"
#include "platform/clock.h"

namespace {

// Length of the UTF-8 sequence that starts at s[i], or 0 when it is not a
// valid one.
size_t Utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string JsonQuote(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = Utf8Length(s, i);
    if (n > 1) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    char esc[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || n == 0) {
      FormatText(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

void WL_JsonObject::Key(std::string_view key) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonQuote(key) + ":";
}

WL_JsonObject& WL_JsonObject::Str(std::string_view key, std::string_view value) {
  Key(key);
  body_ += JsonQuote(value);
  return *this;
}

WL_JsonObject& WL_JsonObject::Int(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

WL_JsonObject& WL_JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

WL_JsonObject& WL_JsonObject::Num(std::string_view key, double value) {
  Key(key);
  char b[32];
  FormatText(b, sizeof(b), "%.3f", value);
  body_ += b;
  return *this;
}

WL_JsonObject& WL_JsonObject::Strs(std::string_view key, const std::string* values, size_t n) {
  Key(key);
  body_ += "[";
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) body_ += ",";
    body_ += JsonQuote(values[i]);
  }
  body_ += "]";
  return *this;
}

void PrintLine(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void PrintJson(const WL_JsonObject& o) { PrintLine(o.Text()); }

void PrintError(const std::string& message) {
  const std::string line = "zelfo: " + message + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

std::string HumanBytes(uint64_t n) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024) return std::to_string(n) + " B";
  double v = static_cast<double>(n) / 1024.0;
  int u = 0;
  while (v >= 1024.0 && u < 3) {
    v /= 1024.0;
    ++u;
  }
  char b[32];
  FormatText(b, sizeof(b), "%.1f %s", v, kUnits[u]);
  return b;
}

std::string TimeText(int64_t seconds) {
  struct tm t;
  if (seconds <= 0 || !ToLocalTime(seconds, &t)) return "-";
  char b[32];
  FormatText(b, sizeof(b), "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
             t.tm_min, t.tm_sec);
  return b;
}

WL_Progress::WL_Progress(std::string name, int64_t total, bool enabled)
    : name_(std::move(name)), total_(total), enabled_(enabled && isatty(2) == 1), start_ms_(GetTickCount64()) {}

WL_Progress::~WL_Progress() { Finish(); }

double WL_Progress::Seconds() const { return static_cast<double>(GetTickCount64() - start_ms_) / 1000.0; }

void WL_Progress::Add(uint64_t n) {
  done_ += n;
  if (!enabled_) return;
  const uint64_t now = GetTickCount64();
  // Only transfers that last more than a second get a bar; it is redrawn a
  // few times a second.
  if (now - start_ms_ < 1000 || now - last_draw_ms_ < 250) return;
  Draw(now);
}

void WL_Progress::Draw(uint64_t now) {
  last_draw_ms_ = now;
  const double secs = static_cast<double>(now - start_ms_) / 1000.0;
  const double rate = secs > 0 ? static_cast<double>(done_) / secs : 0;
  std::string name = name_.size() > 24 ? "..." + name_.substr(name_.size() - 21) : name_;
  char line[160];
  if (total_ > 0) {
    const double frac = static_cast<double>(done_) / static_cast<double>(total_);
    const int filled = static_cast<int>(frac * 20 > 20 ? 20 : frac * 20);
    const double left = rate > 0 ? static_cast<double>(total_ - static_cast<int64_t>(done_)) / rate : 0;
    const int left_s = left > 0 ? static_cast<int>(left) : 0;
    FormatText(line, sizeof(line), "\r%-24s [%.*s%.*s] %3d%% %10s/s %02d:%02d left ", name.c_str(), filled,
               "####################", 20 - filled, "                    ", static_cast<int>(frac * 100),
               HumanBytes(static_cast<uint64_t>(rate)).c_str(), left_s / 60, left_s % 60);
  } else {
    FormatText(line, sizeof(line), "\r%-24s %12s %10s/s ", name.c_str(), HumanBytes(done_).c_str(),
               HumanBytes(static_cast<uint64_t>(rate)).c_str());
  }
  fputs(line, stderr);
  fflush(stderr);
  shown_ = true;
}

void WL_Progress::Finish() {
  if (!shown_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  shown_ = false;
}
