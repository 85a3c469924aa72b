// Text conversion for file-system calls.
//
// Linux takes UTF-8 paths as they are, so a "conversion" checks the text and
// copies it into the object's buffer: valid UTF-8 of at most 8191 UTF-16
// units (the system's limit on any converted text) passes; anything else
// gives nullptr. Short texts stay in the inline buffer; longer ones use a
// block from the process allocator.
#pragma once

#include <cstddef>
#include <cstdint>

// The number of UTF-16 units of a UTF-8 text, or -1 when it is not valid
// UTF-8 (overlong forms, surrogates and code points above U+10FFFF are
// invalid).
int64_t Utf16Units(const char* text, size_t n);
bool IsValidUtf8(const char* text, size_t n);

class WL_UtfStr {
 public:
  static constexpr int kInlineUnits = 160;
  static constexpr int kInlineBytes = 320;
  static constexpr int kMaxUnits = 8192;  // terminator included

  WL_UtfStr() = default;
  virtual ~WL_UtfStr();
  WL_UtfStr(const WL_UtfStr&) = delete;
  WL_UtfStr& operator=(const WL_UtfStr&) = delete;

  // The native (file-system) form of a UTF-8 text, or nullptr when it is
  // missing, invalid or longer than 8191 UTF-16 units. Valid until the next
  // conversion on this object.
  const char* ToWide(const char* utf8);
  // The UTF-8 form of a native name (a directory entry), or nullptr when it
  // is not valid UTF-8 or longer than 8191 bytes.
  const char* ToUtf8(const char* native);
  // 1 inline buffer, 2 heap block (of the last successful conversion).
  int mode() const { return mode_; }

 private:
  const char* Store(const char* text, size_t n, bool inline_fits);

  char inline_[kInlineBytes + 1] = {};
  char* heap_ = nullptr;
  int mode_ = 1;
  size_t heap_capacity_ = 0;
};
