#include "base/utf_str.h"

#include <cstring>

#include "base/mem_pool.h"

int64_t Utf16Units(const char* text, size_t n) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  int64_t units = 0;
  size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      ++units;
      continue;
    }
    int len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return -1;
    }
    if (i + static_cast<size_t>(len) > n) return -1;
    for (int k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return -1;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    units += cp >= 0x10000 ? 2 : 1;
    i += static_cast<size_t>(len);
  }
  return units;
}

bool IsValidUtf8(const char* text, size_t n) { return Utf16Units(text, n) >= 0; }

WL_UtfStr::~WL_UtfStr() {
  if (heap_ != nullptr) PoolFree(heap_);
}

const char* WL_UtfStr::Store(const char* text, size_t n, bool inline_fits) {
  if (inline_fits) {
    memcpy(inline_, text, n);
    inline_[n] = '\0';
    mode_ = 1;
    return inline_;
  }
  if (heap_ != nullptr) PoolFree(heap_);
  heap_capacity_ = n + 4;
  heap_ = static_cast<char*>(PoolAlloc(heap_capacity_));
  if (heap_ == nullptr) {
    heap_capacity_ = 0;
    return nullptr;
  }
  memcpy(heap_, text, n);
  heap_[n] = '\0';
  mode_ = 2;
  return heap_;
}

const char* WL_UtfStr::ToWide(const char* utf8) {
  inline_[0] = '\0';
  if (utf8 == nullptr) return nullptr;
  const size_t n = strnlen(utf8, static_cast<size_t>(kMaxUnits) * 4);
  const int64_t units = Utf16Units(utf8, n);
  if (units < 0 || units + 1 > kMaxUnits) return nullptr;
  return Store(utf8, n, units + 1 <= kInlineUnits + 1 && n <= kInlineBytes);
}

const char* WL_UtfStr::ToUtf8(const char* native) {
  inline_[0] = '\0';
  if (native == nullptr) return nullptr;
  const size_t n = strnlen(native, kMaxUnits);
  if (n + 1 > static_cast<size_t>(kMaxUnits) || !IsValidUtf8(native, n)) return nullptr;
  return Store(native, n, n <= kInlineBytes);
}
