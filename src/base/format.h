// The one formatting helper of the server, and the bounded string built on it.
//
// Every reply and log line is formatted into a fixed buffer. A text that does
// not fit (or a format error) is "cannot be formatted": the helper reports it
// and leaves an empty text, never a truncated one. Callers treat that like a
// failed send.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Formats into buf (capacity cap, terminator included). Returns the length,
// or -1 when the text cannot be formatted (buf then holds "").
int FormatText(char* buf, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int FormatTextV(char* buf, size_t cap, const char* fmt, va_list ap);

// A NUL-terminated text of at most N - 1 bytes that can never overrun.
template <size_t N>
class BoundedStr {
 public:
  static_assert(N >= 1);
  BoundedStr() { buf_[0] = '\0'; }

  const char* c_str() const { return buf_; }
  char* data() { return buf_; }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  static constexpr size_t capacity() { return N - 1; }
  std::string_view view() const { return std::string_view(buf_, len_); }

  void clear() {
    len_ = 0;
    buf_[0] = '\0';
  }
  // Replaces the text. Returns false (text left empty) when it does not fit.
  bool Format(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int n = FormatTextV(buf_, N, fmt, ap);
    va_end(ap);
    len_ = n < 0 ? 0 : static_cast<size_t>(n);
    return n >= 0;
  }
  // Appends formatted text. Returns false (text unchanged) when the whole
  // result does not fit.
  bool AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int n = FormatTextV(buf_ + len_, N - len_, fmt, ap);
    va_end(ap);
    if (n < 0) {
      buf_[len_] = '\0';
      return false;
    }
    len_ += static_cast<size_t>(n);
    return true;
  }
  // Replaces the text with s. Returns false (text left empty) when s is too
  // long.
  bool Assign(std::string_view s) {
    clear();
    return Append(s);
  }
  // Appends s. Returns false (text unchanged) when it does not fit.
  bool Append(std::string_view s) {
    if (s.size() > capacity() - len_) return false;
    memcpy(buf_ + len_, s.data(), s.size());
    len_ += s.size();
    buf_[len_] = '\0';
    return true;
  }

 private:
  char buf_[N];
  size_t len_ = 0;
};
